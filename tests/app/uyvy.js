'use strict';
// RGBA to UYVY (BT.709, video range): how an application would send the demo pattern as
// UYVY. Each pair of pixels shares the U and V of its left pixel, so areas of one colour
// at least two pixels wide come back as that colour.
function rgbaToUyvy(rgba, width, height) {
  const out = Buffer.alloc(width * height * 2);
  const luma = (i) => 0.2126 * rgba[i] + 0.7152 * rgba[i + 1] + 0.0722 * rgba[i + 2];
  const clamp = (v) => Math.max(0, Math.min(255, Math.round(v)));
  for (let p = 0; p < width * height; p += 2) {
    const i = p * 4;
    const y0 = luma(i);
    out[p * 2] = clamp(128 + ((rgba[i + 2] - y0) / 1.8556) * (224 / 255));
    out[p * 2 + 1] = clamp(16 + (y0 * 219) / 255);
    out[p * 2 + 2] = clamp(128 + ((rgba[i] - y0) / 1.5748) * (224 / 255));
    out[p * 2 + 3] = clamp(16 + (luma(i + 4) * 219) / 255);
  }
  return out;
}

module.exports = { rgbaToUyvy };
