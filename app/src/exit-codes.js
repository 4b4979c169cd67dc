'use strict';
// How the bridge process ends, for whoever started it (the launcher exits at once, so
// these reach a script or a person that runs the bridge runtime directly, and the
// installer through the stop tool). The monitor (monitor.js) ends with its bridge's code
// when nothing starts again, or with GAVE_UP.
module.exports = {
  // Stopped in order, or another bridge of this user already runs.
  STOPPED: 0,
  // The port could not be listened on for another reason than its being taken.
  LISTEN_FAILED: 1,
  // An environment setting has a value the bridge does not take ("config_error").
  BAD_SETTING: 2,
  // Another program, not a bridge of this user, holds the port ("port_in_use").
  PORT_IN_USE: 3,
  // The NDI runtime did not return from starting or stopping a sender in time, and the
  // bridge ended itself ("runtime_stuck", runtime-watchdog.js).
  RUNTIME_STUCK: 20,
  // The bridge ended unexpectedly too often in a short time and the monitor stopped
  // starting it ("gave_up", monitor.js).
  GAVE_UP: 21,
};
