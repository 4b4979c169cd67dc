// A CommonJS application: require() gives the same calls, and the same types.
import client = require('kestovar-bridge-client');

export async function publishOne(pixels: Uint8Array): Promise<boolean> {
  const bridge: client.BridgeSession = await client.connect({ source: 'CommonJS', width: 2, height: 2 });
  const sent = await bridge.sendFrame(pixels);
  await bridge.close();
  return sent;
}

// @ts-expect-error: whenBusy is 'wait' or 'drop'
client.connect({ source: 'x', width: 2, height: 2, whenBusy: 'queue' });

// The errors are the module's class, and the rules come with it.
export const codeOf = (error: unknown): string | undefined => (error instanceof client.BridgeError ? error.code : undefined);
export const rules: [string | null, number] = [client.checkHello({ source: '' }), client.parseFrameRate(25)[0]];
