// Types of the CommonJS entry: the module itself.
import type * as client from './index.js' with { 'resolution-mode': 'import' };

export type * from './index.js' with { 'resolution-mode': 'import' };
export declare const BridgeError: typeof client.BridgeError;
export type BridgeError = client.BridgeError;
export declare const connect: typeof client.connect;
export declare const stopBridge: typeof client.stopBridge;
export declare const readBridgeState: typeof client.readBridgeState;
export declare const checkHello: typeof client.checkHello;
export declare const parseFrameRate: typeof client.parseFrameRate;
