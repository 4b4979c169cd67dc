// Publishing a page's <canvas>, <video> or camera through the bridge, in a capture loop
// paced to the frame rate that drops a frame rather than queue it when the bridge or
// the capture is still busy with the last one.
//
//   const publisher = await publishCanvas(canvas, { port, token, source: 'My page', fps: 30 });
//   ...
//   await publisher.stop();
//
// Frames are captured with WebCodecs (a VideoFrame copied into one reused buffer) where
// the browser has it, else with getImageData. They are RGBA, at the canvas's or the
// video's own size, and meant to be opaque; or UYVY (format 'UYVY': half the bytes),
// converted with WebGL2 on a GPU, else in script from the captured pixels (uyvy.mjs).
// The frames go out through a WebSocket in a worker of the publisher's own where one
// starts (page-socket.mjs), so that sending and capturing do not wait for each other.
import { BridgeError, connect, parseFrameRate } from './index.mjs';
import { workerSocketClass } from './page-socket.mjs';
import { hasHardwareWebgl2, rgbToUyvy, webglUyvyConverter } from './uyvy.mjs';

export { rgbToUyvy };

// The VideoFrame formats copied as they are, and whether red comes first.
const RGB_FORMATS = { RGBA: true, RGBX: true, BGRA: false, BGRX: false };
const HAVE_CURRENT_DATA = 2;

// Capture through a 2D canvas of the frame size: drawImage (scaling, converting any
// format), then getImageData. A 2D canvas of that size is read as it is. Gives
// { pixels, redFirst }, as every capture does.
function drawingCapture(width, height) {
  const canvas = typeof OffscreenCanvas === 'function'
    ? new OffscreenCanvas(width, height) : Object.assign(document.createElement('canvas'), { width, height });
  const context = canvas.getContext('2d', { willReadFrequently: true, alpha: false });
  return (image) => {
    const own = typeof HTMLCanvasElement === 'function' && image instanceof HTMLCanvasElement && image.width === width && image.height === height &&
      image.getContext('2d');
    if (own) return { pixels: own.getImageData(0, 0, width, height).data, redFirst: true };
    context.drawImage(image, 0, 0, width, height);
    return { pixels: context.getImageData(0, 0, width, height).data, redFirst: true };
  };
}

// In place: BGRA -> RGBA when red does not come first, and alpha 255 where the format
// leaves it undefined (RGBX, BGRX), for a browser whose copyTo cannot convert. A
// little-endian view: a pixel is 0xAABBGGRR.
export function toRgba(buffer, format) {
  const pixels = new Uint32Array(buffer.buffer, buffer.byteOffset, buffer.byteLength / 4);
  const swap = !RGB_FORMATS[format];
  const opaque = format.endsWith('X') ? 0xff000000 : 0;
  if (!swap && !opaque) return;
  for (let i = 0; i < pixels.length; i++) {
    const p = pixels[i];
    pixels[i] = (swap ? (p & 0xff00ff00) | ((p >>> 16) & 0xff) | ((p & 0xff) << 16) : p) | opaque;
  }
}

// Whether copyTo converts to RGBA: a browser that does not know the `format` member
// never reads it.
function copyToConverts(frame) {
  let read = false;
  try {
    frame.allocationSize({ get format() { read = true; return 'RGBA'; } });
  } catch {
    return false;
  }
  return read;
}

// Capture with WebCodecs into one buffer: an RGBA frame as it is, any other converted by
// copyTo where the browser can (a 1080p BGRX frame in 1.6 ms, against 0.6 ms to copy and
// 1.9 ms to swap in script: bench/capture.js), else BGRA/RGBX fixed in place and YUV
// drawn; a frame of another size is drawn, scaled. For a UYVY conversion (anyOrder) an
// RGB frame is copied as it is, blue first or red first.
function webCodecsCapture(width, height, anyOrder) {
  const buffer = new Uint8Array(width * height * 4);
  const layout = [{ offset: 0, stride: width * 4 }];
  const draw = drawingCapture(width, height);
  let converts = null;
  return async (image) => {
    let frame;
    try {
      frame = new VideoFrame(image, { timestamp: 0 });
    } catch (error) {
      // Nothing to show yet (a video before its first frame) is no failure; a source of
      // another origin (SecurityError) is, and ends publishing.
      if (error?.name === 'InvalidStateError') return null;
      throw error;
    }
    try {
      const { width: w, height: h } = frame.visibleRect;
      if (w !== width || h !== height || !frame.format) return draw(frame);
      if (anyOrder && frame.format in RGB_FORMATS) {
        await frame.copyTo(buffer, { layout });
        return { pixels: buffer, redFirst: RGB_FORMATS[frame.format] };
      }
      converts ??= copyToConverts(frame);
      if (frame.format !== 'RGBA' && converts) {
        await frame.copyTo(buffer, { format: 'RGBA', colorSpace: 'srgb', layout });
      } else if (frame.format in RGB_FORMATS) {
        await frame.copyTo(buffer, { layout });
        toRgba(buffer, frame.format);
      } else {
        return draw(frame);
      }
      return { pixels: buffer, redFirst: true };
    } finally {
      frame.close();
    }
  };
}

function captureFor(method, width, height, anyOrder) {
  const hasWebCodecs = typeof VideoFrame === 'function';
  if (method === 'webcodecs' && !hasWebCodecs) throw new BridgeError('bad_options', 'this browser has no WebCodecs');
  if (method === 'getImageData' || !hasWebCodecs) return { method: 'getImageData', capture: drawingCapture(width, height) };
  return { method: 'webcodecs', capture: webCodecsCapture(width, height, anyOrder) };
}

// What makes each frame's bytes: { method, conversion, frameOf(image) }. RGBA is the
// capture's own; UYVY is converted with WebGL2 straight from the picture (the capture
// method is then 'webgl'), or in script from the capture into one reused buffer.
// conversion: 'auto' (WebGL2 on a GPU of its own, else script), 'webgl' or 'script'.
function framesFor(options, width, height) {
  const format = options.format ?? 'RGBA';
  if (format !== 'RGBA' && format !== 'UYVY') throw new BridgeError('bad_options', 'format must be "RGBA" or "UYVY"');
  const asked = options.capture ?? 'auto';
  if (asked !== 'auto' && asked !== 'webcodecs' && asked !== 'getImageData') {
    throw new BridgeError('bad_options', 'capture must be "auto", "webcodecs" or "getImageData"');
  }
  const conversion = options.conversion ?? 'auto';
  if (conversion !== 'auto' && conversion !== 'webgl' && conversion !== 'script') {
    throw new BridgeError('bad_options', 'conversion must be "auto", "webgl" or "script"');
  }
  const capturing = (anyOrder) => captureFor(asked, width, height, anyOrder);
  if (format === 'RGBA') {
    const { method, capture } = capturing(false);
    return { format, method, conversion: null, frameOf: async (image) => (await capture(image))?.pixels };
  }
  if (width % 2 !== 0) throw new BridgeError('bad_options', 'UYVY frames need an even width');
  if (conversion === 'webgl' || (conversion === 'auto' && hasHardwareWebgl2())) {
    const convert = webglUyvyConverter(width, height);
    if (!convert) throw new BridgeError('bad_options', 'this browser has no WebGL2');
    return { format, method: 'webgl', conversion: 'webgl', frameOf: async (image) => convert(image) };
  }
  const { method, capture } = capturing(true);
  const out = new Uint8Array(width * height * 2);
  return {
    format, method, conversion: 'script',
    frameOf: async (image) => {
      const captured = await capture(image);
      return captured && rgbToUyvy(captured.pixels, width, height, out, captured.redFirst);
    },
  };
}

// The loop: one tick per frame interval on a fixed schedule. A tick that finds the last
// capture still running, or that came too late, is a frame dropped; the session drops
// (whenBusy 'drop') when the bridge is behind.
async function publish(image, width, height, options, cleanUp = () => {}) {
  let frames;
  let bridge;
  let socketClass = options.WebSocket;
  try {
    frames = framesFor(options, width, height);
    socketClass ??= await workerSocketClass();
    bridge = await connect({ ...options, WebSocket: socketClass, width, height, format: frames.format, whenBusy: 'drop' });
  } catch (error) {
    cleanUp();
    throw error;
  }
  const { method, conversion, frameOf } = frames;
  // Where the socket sends from: the publisher's worker, or the page's own thread.
  const sending = socketClass && !options.WebSocket ? 'worker' : 'page';
  const [fpsN, fpsD] = parseFrameRate(options.fps ?? 30);
  const interval = (1000 * fpsD) / fpsN;
  const start = performance.now();
  let tick = 0;
  let timer = null;
  let running = null;
  let stopped = false;
  let captured = 0;
  let skipped = 0;
  // Where a frame's time goes: taking (and converting) it, and handing it to the socket.
  let captureMs = 0;
  let sendMs = 0;
  let resolveClosed;
  const closed = new Promise((resolve) => { resolveClosed = resolve; });

  async function frame() {
    try {
      // While the bridge is away (reconnect), a frame is dropped without capturing it.
      if (!bridge.live) {
        skipped++;
        return;
      }
      const began = performance.now();
      const pixels = await frameOf(image);
      const taken = performance.now();
      captureMs += taken - began;
      if (!pixels || stopped) return;
      captured++;
      const sent = await bridge.sendFrame(pixels);
      sendMs += performance.now() - taken;
      if (sent) options.onSent?.(pixels);
    } catch (error) {
      // A session that ended under this frame is told by bridge.closed; anything else
      // (a capture that failed, a throwing onSent) ends publishing with that error.
      if (!(error instanceof BridgeError)) setTimeout(() => stop(error));
    } finally {
      running = null;
    }
  }

  function onTick() {
    const due = Math.floor((performance.now() - start) / interval);
    skipped += Math.max(0, due - tick - 1);
    tick = Math.max(tick + 1, due);
    timer = setTimeout(onTick, Math.max(0, start + (tick + 1) * interval - performance.now()));
    if (running) skipped++;
    else running = frame();
  }

  async function stop(error = null) {
    if (!stopped) {
      stopped = true;
      clearTimeout(timer);
      await running?.catch(() => {});
      await bridge.close();
      cleanUp();
      resolveClosed(error);
    }
    return closed.then(() => undefined);
  }

  bridge.closed.then((error) => { if (error) stop(error); });
  running = frame();
  timer = setTimeout(onTick, interval);
  return {
    // The session underneath: its state events, statusPage, and the bridge's stats().
    bridge,
    // Ends the loop and the session; resolves once both are done.
    stop: () => stop(),
    // What the loop did: frames sent and dropped (busy capture, late tick, bridge behind),
    // and the milliseconds capturing (with converting) and sending took in all.
    stats: () => ({
      method, format: frames.format, conversion, sending, width, height, fpsN, fpsD, captured,
      sent: bridge.sent,
      dropped: skipped + bridge.dropped,
      captureMs,
      sendMs,
    }),
    // Resolves when publishing ends: null after stop(), else the BridgeError that ended it.
    closed,
  };
}

// Publishes a <canvas> (or an OffscreenCanvas) at its own size. options: those of
// connect() but the size and whenBusy, and capture ('auto', 'webcodecs',
// 'getImageData'), conversion (UYVY: 'auto', 'webgl', 'script'), onSent(pixels).
export async function publishCanvas(canvas, options = {}) {
  if (!canvas || !(canvas.width > 0) || !(canvas.height > 0)) {
    throw new BridgeError('bad_options', 'publishCanvas needs a canvas with a size');
  }
  return publish(canvas, canvas.width, canvas.height, options);
}

function isTrack(source) {
  return typeof MediaStreamTrack === 'function' && source instanceof MediaStreamTrack;
}

// Publishes a <video> element or a video MediaStreamTrack (a camera, a screen, a
// canvas's captureStream()) at its own size, or at options.width x options.height,
// scaled. A track is played in a video element of the publisher's own and publishing
// stops when the track ends.
export async function publishVideo(source, options = {}) {
  let video = source;
  let cleanUp = () => {};
  if (isTrack(source)) {
    if (source.kind !== 'video') throw new BridgeError('bad_options', 'publishVideo needs a video track');
    video = Object.assign(document.createElement('video'), { muted: true, playsInline: true });
    video.srcObject = new MediaStream([source]);
    cleanUp = () => { video.pause(); video.srcObject = null; };
    video.play().catch(() => {});
  } else if (!(typeof HTMLVideoElement === 'function' && source instanceof HTMLVideoElement)) {
    throw new BridgeError('bad_options', 'publishVideo needs a <video> element or a MediaStreamTrack');
  }
  if (video.readyState < HAVE_CURRENT_DATA) {
    const timeoutMs = options.timeoutMs ?? 10000;
    let timer;
    await new Promise((resolve, reject) => {
      const fail = (why) => reject(new BridgeError('bad_options', `the video has no frame to publish: ${why}`));
      video.addEventListener('loadeddata', resolve, { once: true });
      video.addEventListener('error', () => fail('it cannot be played'), { once: true });
      timer = setTimeout(() => fail(`none within ${timeoutMs} ms`), timeoutMs);
    }).finally(() => clearTimeout(timer)).catch((error) => {
      cleanUp();
      throw error;
    });
  }
  const width = options.width ?? video.videoWidth;
  const height = options.height ?? video.videoHeight;
  const publisher = await publish(video, width, height, options, cleanUp);
  if (isTrack(source)) source.addEventListener('ended', () => publisher.stop(), { once: true });
  return publisher;
}
