'use strict';
// How the bridge reads its connections.
//
// Node reads a TCP socket 64 KiB at a time into a fresh buffer each time. Under Wine
// every read is a trip through the Wine server, and at that size the reads alone cost
// more CPU than everything else a frame needs. A socket given a caller's buffer
// ("onread") reads as much as the connection holds in one go. Node offers that only for
// sockets it creates itself, so the accepted (still paused) connection's handle is moved
// into a socket made with it. Every read is handed on and copied out before the next
// read starts, all on the one script thread, so one buffer serves every connection.
//
// That move relies on how Node builds sockets, so it is checked before it is relied on:
// the new socket must own the handle and hold the buffer. Otherwise the connection is
// read the plain way ('data' events), which is slower but just as exact.

const net = require('node:net');

const READ_BUFFER_BYTES = 4 * 1024 * 1024;
let sharedReadBuffer = null;

// The socket's own record of the buffer it was given (a symbol-keyed slot in Node's
// socket), found by value so that no name of Node's internals is relied on.
function holdsReadBuffer(socket, buffer) {
  return Object.getOwnPropertySymbols(socket).some((key) => socket[key] === buffer);
}

function readPlainly(socket, onData) {
  socket.on('data', onData);
  socket.resume();
  return { socket, largeReads: false };
}

// Returns { socket, largeReads, why }: the socket to use from now on (which may not be
// `accepted`), and whether it reads into the large buffer.
function openConnection(accepted, onData, { plainReads = false } = {}) {
  const handle = accepted._handle;
  if (plainReads) return { ...readPlainly(accepted, onData), why: 'plain reads asked for' };
  if (!handle || typeof handle.useUserBuffer !== 'function') {
    return { ...readPlainly(accepted, onData), why: 'the connection has no handle that takes a buffer' };
  }
  sharedReadBuffer ??= Buffer.allocUnsafeSlow(READ_BUFFER_BYTES);
  let socket;
  try {
    socket = new net.Socket({
      handle,
      readable: true,
      writable: true,
      onread: { buffer: sharedReadBuffer, callback: (bytes, buffer) => onData(buffer.subarray(0, bytes)) },
    });
  } catch (error) {
    return { ...readPlainly(accepted, onData), why: error.message };
  }
  if (socket._handle !== handle) {
    // The handle never moved: the accepted socket still owns it and reads the plain way.
    socket.destroy();
    return { ...readPlainly(accepted, onData), why: 'the handle did not move' };
  }
  accepted._handle = null;
  if (!holdsReadBuffer(socket, sharedReadBuffer)) {
    return { ...readPlainly(socket, onData), why: 'the socket did not take the read buffer' };
  }
  return { socket, largeReads: true };
}

module.exports = { openConnection };
