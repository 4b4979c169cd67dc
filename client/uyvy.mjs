// RGB pixels as UYVY (BT.709, video range: Y 16..235, U and V 16..240; each pair of
// pixels shares the U and V of its mean colour), the way the bridge's receivers and its
// status page read it. Two ways, one result within a unit: in script (integer
// arithmetic on 32-bit words) and with WebGL2 (the picture drawn into a half-width target
// whose texels are U, Y0, V, Y1, then read back). WebGL2 pays only on a real GPU: on a
// software renderer (SwiftShader in headless Chromium) a 1080p frame takes it about five
// times as long as the script.

// BT.709 luma weights, and video range: 219 steps of luma and 224 of chroma in 255.
const KR = 0.2126;
const KB = 0.0722;
const KG = 1 - KR - KB;
const LUMA_RANGE = 219 / 255;
const CHROMA_RANGE = 224 / 255;
const CB_SCALE = CHROMA_RANGE / (2 * (1 - KB));
const CR_SCALE = CHROMA_RANGE / (2 * (1 - KR));

// Fixed point with 16 fraction bits; chroma is computed from a pair's sums, one bit more.
const ONE = 1 << 16;
const fixed = (k) => Math.round(k * ONE);
const YR = fixed(KR * LUMA_RANGE);
const YG = fixed(KG * LUMA_RANGE);
const YB = fixed(KB * LUMA_RANGE);
const UR = fixed(-KR * CB_SCALE);
const UG = fixed(-KG * CB_SCALE);
const UB = -UR - UG; // grey has no chroma, exactly
const VG = fixed(-KG * CR_SCALE);
const VB = fixed(-KB * CR_SCALE);
const VR = -VG - VB;
const Y_OFFSET = (16 << 16) + (1 << 15); // + one half, to round
const C_OFFSET = (128 << 17) + (1 << 16);

// pixels: width x height of 4 bytes each, red first (RGBA, RGBX) or blue first (BGRA,
// BGRX); alpha is ignored. Writes width x height x 2 bytes of UYVY into out (made when
// not given) and returns it. The width is even.
export function rgbToUyvy(pixels, width, height, out = new Uint8Array(width * height * 2), redFirst = true) {
  const source = new Uint32Array(pixels.buffer, pixels.byteOffset, width * height);
  const target = new Uint32Array(out.buffer, out.byteOffset, (width * height) >> 1);
  // A little-endian word: a pixel is 0xAA_BB_GG_RR (red first) or 0xAA_RR_GG_BB.
  const redShift = redFirst ? 0 : 16;
  const blueShift = redFirst ? 16 : 0;
  for (let i = 0, j = 0; j < target.length; i += 2, j++) {
    const p = source[i];
    const q = source[i + 1];
    const r0 = (p >>> redShift) & 0xff;
    const g0 = (p >>> 8) & 0xff;
    const b0 = (p >>> blueShift) & 0xff;
    const r1 = (q >>> redShift) & 0xff;
    const g1 = (q >>> 8) & 0xff;
    const b1 = (q >>> blueShift) & 0xff;
    const r = r0 + r1;
    const g = g0 + g1;
    const b = b0 + b1;
    const y0 = (YR * r0 + YG * g0 + YB * b0 + Y_OFFSET) >> 16;
    const y1 = (YR * r1 + YG * g1 + YB * b1 + Y_OFFSET) >> 16;
    const u = (UR * r + UG * g + UB * b + C_OFFSET) >> 17;
    const v = (VR * r + VG * g + VB * b + C_OFFSET) >> 17;
    // Bytes U, Y0, V, Y1.
    target[j] = (u | (y0 << 8) | (v << 16) | (y1 << 24)) >>> 0;
  }
  return out;
}

const VERTEX_SHADER = `#version 300 es
void main() {
  // One triangle that covers the whole target.
  vec2 corner = vec2(float((gl_VertexID & 1) << 2), float((gl_VertexID & 2) << 1)) - 1.0;
  gl_Position = vec4(corner, 0.0, 1.0);
}`;

const FRAGMENT_SHADER = `#version 300 es
precision highp float;
uniform sampler2D picture;
uniform vec2 frameSize;
out vec4 uyvy;
const vec3 KY = vec3(${KR * LUMA_RANGE}, ${KG * LUMA_RANGE}, ${KB * LUMA_RANGE});
const vec3 KU = vec3(${-KR * CB_SCALE}, ${-KG * CB_SCALE}, ${(1 - KB) * CB_SCALE});
const vec3 KV = vec3(${(1 - KR) * CR_SCALE}, ${-KG * CR_SCALE}, ${-KB * CR_SCALE});
void main() {
  // Texel x of the target holds pixels 2x and 2x + 1, sampled at their centres; the
  // target's first line is the picture's first (neither is flipped).
  vec2 left = vec2(gl_FragCoord.x * 2.0 - 0.5, gl_FragCoord.y) / frameSize;
  vec3 a = texture(picture, left).rgb;
  vec3 b = texture(picture, left + vec2(1.0 / frameSize.x, 0.0)).rgb;
  vec3 mean = (a + b) * 0.5;
  uyvy = vec4(dot(KU, mean) + 128.0 / 255.0, dot(KY, a) + 16.0 / 255.0,
              dot(KV, mean) + 128.0 / 255.0, dot(KY, b) + 16.0 / 255.0);
}`;

function compile(gl, type, source) {
  const shader = gl.createShader(type);
  gl.shaderSource(shader, source);
  gl.compileShader(shader);
  if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(`UYVY shader: ${gl.getShaderInfoLog(shader)}`);
  return shader;
}

// Where script and WebGL2 would give the same, the renderer decides: a software one
// (SwiftShader, llvmpipe, Microsoft's Basic Render Driver) loses to the script.
export function isSoftwareRenderer(gl) {
  const info = gl.getExtension('WEBGL_debug_renderer_info');
  const renderer = String(gl.getParameter(info ? info.UNMASKED_RENDERER_WEBGL : gl.RENDERER));
  return /swiftshader|llvmpipe|softpipe|software|basic render/i.test(renderer);
}

function webgl2Context(width, height) {
  if (typeof OffscreenCanvas !== 'function') return null;
  return new OffscreenCanvas(width, height).getContext('webgl2', { antialias: false, depth: false, stencil: false });
}

// Whether this browser has WebGL2 on a GPU of its own.
export function hasHardwareWebgl2() {
  const gl = webgl2Context(2, 2);
  const hardware = Boolean(gl) && !isSoftwareRenderer(gl);
  gl?.getExtension('WEBGL_lose_context')?.loseContext();
  return hardware;
}

// A converter of whole pictures (a canvas, a video, a VideoFrame, an ImageBitmap) to
// width x height UYVY, scaled when the picture has another size, into one reused buffer;
// null without WebGL2.
export function webglUyvyConverter(width, height) {
  const gl = webgl2Context(width / 2, height);
  if (!gl) return null;
  const program = gl.createProgram();
  gl.attachShader(program, compile(gl, gl.VERTEX_SHADER, VERTEX_SHADER));
  gl.attachShader(program, compile(gl, gl.FRAGMENT_SHADER, FRAGMENT_SHADER));
  gl.linkProgram(program);
  if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(`UYVY program: ${gl.getProgramInfoLog(program)}`);
  gl.useProgram(program);
  gl.uniform2f(gl.getUniformLocation(program, 'frameSize'), width, height);
  // Dithering would move the values a unit here and there.
  gl.disable(gl.DITHER);
  const picture = gl.createTexture();
  gl.bindTexture(gl.TEXTURE_2D, picture);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE);
  gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE);
  const target = gl.createTexture();
  gl.bindTexture(gl.TEXTURE_2D, target);
  gl.texStorage2D(gl.TEXTURE_2D, 1, gl.RGBA8, width / 2, height);
  gl.bindFramebuffer(gl.FRAMEBUFFER, gl.createFramebuffer());
  gl.framebufferTexture2D(gl.FRAMEBUFFER, gl.COLOR_ATTACHMENT0, gl.TEXTURE_2D, target, 0);
  gl.viewport(0, 0, width / 2, height);
  gl.bindTexture(gl.TEXTURE_2D, picture);
  gl.pixelStorei(gl.UNPACK_FLIP_Y_WEBGL, false);
  gl.pixelStorei(gl.UNPACK_PREMULTIPLY_ALPHA_WEBGL, false);
  const out = new Uint8Array(width * height * 2);
  let filter = null;
  return (image) => {
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA8, gl.RGBA, gl.UNSIGNED_BYTE, image);
    // Exact texels at the frame's own size; a picture of another size is blended.
    const size = [image.displayWidth ?? image.videoWidth ?? image.width, image.displayHeight ?? image.videoHeight ?? image.height];
    const wanted = size[0] === width && size[1] === height ? gl.NEAREST : gl.LINEAR;
    if (wanted !== filter) {
      filter = wanted;
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, filter);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, filter);
    }
    gl.drawArrays(gl.TRIANGLES, 0, 3);
    gl.readPixels(0, 0, width / 2, height, gl.RGBA, gl.UNSIGNED_BYTE, out);
    return out;
  };
}
