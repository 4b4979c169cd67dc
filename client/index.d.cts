// Types of the CommonJS entry: the same calls as the module, each loading it on first use.
import type { BridgeSession, BridgeState, ConnectOptions, EndpointOptions } from './index.js' with { 'resolution-mode': 'import' };

export type * from './index.js' with { 'resolution-mode': 'import' };
export declare function connect(options: ConnectOptions): Promise<BridgeSession>;
export declare function stopBridge(options?: EndpointOptions): Promise<void>;
export declare function readBridgeState(file?: string): Promise<BridgeState>;
