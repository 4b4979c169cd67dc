// Runs in the Windows node.exe under Wine: publishes frames through the client library to
// the bridge named by the state file, meets the bridge's real refusals, stops the bridge,
// and writes what happened as JSON to the file named by its argument.
// It hands the library `ws`: Node's own WebSocket (undici) sets keep-alive on its socket
// before the socket connects, which Wine refuses (the connect then fails with UNKNOWN).
import fs from 'node:fs';
import crypto from 'node:crypto';
import { createRequire } from 'node:module';
import WebSocket from 'ws';
import { connect, stopBridge } from '../../client/index.mjs';

const { fnv1a64 } = createRequire(import.meta.url)('../addon/standin-log.js');
const [resultFile, count] = process.argv.slice(2);
const HELLO = { source: 'Windows client', width: 64, height: 32, fps: 29.97, format: 'UYVY', WebSocket };

async function refusal(promise) {
  try {
    await promise;
    return 'none';
  } catch (error) {
    return error.code;
  }
}

const result = { hashes: [] };
try {
  const bridge = await connect(HELLO);
  for (let n = 0; n < Number(count); n++) {
    const frame = crypto.randomBytes(bridge.frameBytes);
    await bridge.sendFrame(n % 2 ? frame : new Uint8Array(frame).buffer);
    result.hashes.push(fnv1a64(frame));
  }
  result.frames = (await bridge.stats()).frames;
  result.busy = await refusal(connect(HELLO));
  result.badToken = await refusal(connect({ ...HELLO, token: '0'.repeat(64) }));
  await bridge.close();
  await stopBridge({ WebSocket });
  result.stopped = true;
} catch (error) {
  result.error = `${error.code}: ${error.message}`;
}
fs.writeFileSync(resultFile, JSON.stringify(result));
