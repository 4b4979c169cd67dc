// A page publishing a canvas and a camera on the package's declarations.
import { publishCanvas, publishVideo, type Publisher } from 'kestovar-bridge-client/publish';

const canvas = document.createElement('canvas');
const publisher: Publisher = await publishCanvas(canvas, { port: 17480, token: 'from the page server', source: 'Typed page',
  fps: 30, capture: 'auto', onSent: (pixels) => console.log(pixels.length) });
const { method, sent, dropped } = publisher.stats();
console.log(method, sent + dropped, publisher.bridge.state);
const halfBytes: Publisher = await publishCanvas(canvas, { source: 'UYVY page', format: 'UYVY', conversion: 'auto' });
const { conversion, sending }: { conversion: 'webgl' | 'script' | null; sending: 'worker' | 'page' } = halfBytes.stats();
console.log(conversion, sending);
const camera = await navigator.mediaDevices.getUserMedia({ video: true });
const video: Publisher = await publishVideo(camera.getVideoTracks()[0], { source: 'Camera', width: 1280, height: 720 });
await Promise.all([publisher.stop(), video.stop()]);
const ended: Error | null = await publisher.closed;
console.log(ended);

// @ts-expect-error: the capture is WebCodecs or getImageData
await publishCanvas(canvas, { source: 'x', capture: 'webgl' });
// @ts-expect-error: UYVY is converted with WebGL2 or in script
await publishCanvas(canvas, { source: 'x', format: 'UYVY', conversion: 'wasm' });
// @ts-expect-error: a canvas has its own size
await publishCanvas(canvas, { source: 'x', width: 640 });
