'use strict';
// The status page's thumbnail: a small RGBA picture of the last frame the bridge handed
// to the NDI runtime, made only when the page asks for one.
//
// The runtime may still be reading that frame (an asynchronous send keeps it until the
// next one), so the frame is only ever read here, synchronously, one sample per
// thumbnail pixel, and nothing of it is kept: the caller gets new pixels of its own.

const { encodePng } = require('./png');

const THUMBNAIL_MAX_WIDTH = 320;

function clampByte(value) {
  return value < 0 ? 0 : value > 255 ? 255 : Math.round(value);
}

// One UYVY sample (BT.709, video range) as RGB into out[at..at+2], alpha 255.
function writeYuvAsRgba(luma, u, v, out, at) {
  const c = 1.164 * (luma - 16);
  const cu = u - 128;
  const cv = v - 128;
  out[at] = clampByte(c + 1.793 * cv);
  out[at + 1] = clampByte(c - 0.213 * cu - 0.533 * cv);
  out[at + 2] = clampByte(c + 2.112 * cu);
  out[at + 3] = 255;
}

// The size of a thumbnail: the frame's own size when it is narrow enough, else maxWidth
// wide with the frame's shape.
function thumbnailSize(width, height, maxWidth = THUMBNAIL_MAX_WIDTH) {
  if (width <= maxWidth) return { width, height };
  return { width: maxWidth, height: Math.max(1, Math.round((height * maxWidth) / width)) };
}

// Samples a raw frame (RGBA: 4 bytes a pixel; UYVY: 4 bytes per two pixels, U and V
// shared) at the centre of each output pixel's area, giving opaque RGBA of
// outWidth x outHeight. stride: bytes from one line to the next.
function frameToRgba(frame, { width, height, format, stride }, outWidth = width, outHeight = height) {
  const lineBytes = stride || width * (format === 'UYVY' ? 2 : 4);
  const out = Buffer.allocUnsafe(outWidth * outHeight * 4);
  const columns = new Uint32Array(outWidth);
  for (let x = 0; x < outWidth; x++) columns[x] = Math.floor(((x + 0.5) * width) / outWidth);
  let at = 0;
  for (let ty = 0; ty < outHeight; ty++) {
    const line = Math.floor(((ty + 0.5) * height) / outHeight) * lineBytes;
    for (let tx = 0; tx < outWidth; tx++, at += 4) {
      const x = columns[tx];
      if (format === 'UYVY') {
        const pair = line + (x >> 1) * 4;
        writeYuvAsRgba(frame[pair + 1 + (x & 1) * 2], frame[pair], frame[pair + 2], out, at);
      } else {
        const i = line + x * 4;
        out[at] = frame[i];
        out[at + 1] = frame[i + 1];
        out[at + 2] = frame[i + 2];
        out[at + 3] = 255;
      }
    }
  }
  return out;
}

// settings: the session's { width, height, format }. Returns { width, height, png }.
function makeThumbnail(frame, settings, maxWidth = THUMBNAIL_MAX_WIDTH) {
  const size = thumbnailSize(settings.width, settings.height, maxWidth);
  const rgba = frameToRgba(frame, settings, size.width, size.height);
  // Stored, not compressed: on a frame of camera noise even zlib's fastest level takes
  // ten times longer than everything else here, and it would save little there. The
  // picture only crosses the loopback (at most 230 KB, twice a second).
  return { ...size, png: encodePng(size.width, size.height, rgba, 0) };
}

module.exports = { THUMBNAIL_MAX_WIDTH, thumbnailSize, frameToRgba, makeThumbnail };
