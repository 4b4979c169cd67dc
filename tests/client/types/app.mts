// A Node.js application on the package's declarations: the session, its events, errors.
import { BridgeError, checkHello, connect, type BridgeSession, type StateEvent } from 'kestovar-bridge-client';

const bridge: BridgeSession = await connect({ source: 'Typed app', width: 1280, height: 720, fps: '30000/1001',
  whenBusy: 'drop', reconnect: { minDelayMs: 100, maxDelayMs: 2000 } });
bridge.on('state', ({ state, error, attempt }: StateEvent) => {
  if (state === 'reconnecting') console.log(`attempt ${attempt ?? 0} after ${error?.code ?? 'nothing'}`);
});
const pixels = new Uint8Array(bridge.frameBytes);
const sent: boolean = await bridge.sendFrame(pixels);
const { frames, cpuUserUs } = await bridge.stats();
console.log(sent, frames + cpuUserUs, bridge.statusPage?.length, bridge.ready?.frameBytes);
const problem: string | null = checkHello({ source: 'x', width: 2, height: 2, fpsN: 30, fpsD: 1, format: 'UYVY' });

try {
  await bridge.close();
} catch (error) {
  if (error instanceof BridgeError && error.code === 'unverified_bridge') console.log(error.closeCode, problem);
}

// @ts-expect-error: a size is required
await connect({ source: 'No size' });
// @ts-expect-error: 'NV12' is not a format the bridge takes
await connect({ source: 'x', width: 2, height: 2, format: 'NV12' });
// @ts-expect-error: a frame is bytes, not floats
await bridge.sendFrame(new Float32Array(4));
// @ts-expect-error: 'state' is the one event
bridge.on('frame', () => {});
// @ts-expect-error: no such code
export const code: BridgeError['code'] = 'unknown_error';
