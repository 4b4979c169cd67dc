// Types of kestovar-bridge-client: publishing frames through Kestovar Output Bridge from
// Node.js or a web page.

/** The bridge's refusals, then the library's own failures. */
export type BridgeErrorCode =
  | 'bad_token' | 'busy' | 'bad_hello' | 'wrong_frame_size' | 'runtime_unavailable' | 'timeout'
  | 'too_much_output' | 'protocol_error' | 'shutting_down'
  | 'origin_refused' | 'bridge_unreachable' | 'connect_timeout' | 'connection_lost' | 'closed'
  | 'send_in_progress' | 'bad_options' | 'no_state_file' | 'bad_state_file' | 'unverified_bridge';

/** Every failure of the library, with a stable code. */
export declare class BridgeError extends Error {
  constructor(code: BridgeErrorCode, message: string, closeCode?: number);
  readonly name: 'BridgeError';
  readonly code: BridgeErrorCode;
  /** The WebSocket close code, when the bridge closed the connection. */
  readonly closeCode?: number;
}

export type PixelFormat = 'RGBA' | 'UYVY';

/** 30, 29.97 (taken as 30000/1001), '25' or '30000/1001'. */
export type FrameRate = number | `${number}` | `${number}/${number}`;

/** One whole frame: RGBA is width*4 bytes a line, UYVY width*2, no padding. A Buffer is a Uint8Array. */
export type FramePixels = ArrayBuffer | Uint8Array | Uint8ClampedArray;

export interface ReconnectOptions {
  /** The first wait before trying again; doubled at each failed attempt. Default 250. */
  minDelayMs?: number;
  /** The longest wait between attempts. Default 5000. */
  maxDelayMs?: number;
}

/** Where the bridge is. In Node.js, what is not given comes from the bridge's state file. */
export interface EndpointOptions {
  port?: number;
  token?: string;
  /** Default '127.0.0.1'. */
  host?: string;
  /**
   * Where a page finds port and token: asked at every attempt (a restarted bridge has a
   * new token), e.g. from the page's own server. A failure counts as no bridge.
   */
  locate?: () => Promise<{ port: number; token: string }> | { port: number; token: string };
  /** The state file to read instead of the bridge's own (Node.js). */
  stateFile?: string;
  /** How long the bridge may take to answer. Default 10000. */
  timeoutMs?: number;
  /** A WebSocket class to use instead of the global one (or `ws` in Node.js). */
  WebSocket?: new (url: string, ...rest: any[]) => object;
}

export interface ConnectOptions extends EndpointOptions {
  /** The NDI source name receivers list: 1 to 200 characters, no control characters. */
  source: string;
  /** 2 to 8192 pixels each, at most 7680x4320 in all. */
  width: number;
  height: number;
  /** Default 30. */
  fps?: FrameRate;
  /** Default 'RGBA'; UYVY needs an even width. */
  format?: PixelFormat;
  /** When the bridge is behind: 'wait' (default) for room, or 'drop' the frame. */
  whenBusy?: 'wait' | 'drop';
  /** Frames that may wait in the socket. Default 2. */
  maxBufferedFrames?: number;
  /** Keep the session through the bridge's absences (off by default). */
  reconnect?: boolean | ReconnectOptions;
}

/** The bridge's answer to the hello. */
export interface ReadyMessage extends HelloFields {
  type: 'ready';
  frameBytes: number;
  /** The bridge's proof that it holds the token. */
  proof?: string;
}

/** The bridge's counters. */
export interface BridgeStats {
  type: 'stats';
  frames: number;
  cpuUserUs: number;
  cpuSystemUs: number;
  firstFrameMs: number;
  lastFrameMs: number;
  rssBytes: number;
  resources: number;
}

export type ConnectionState = 'connected' | 'disconnected' | 'reconnecting' | 'closed';

/** What a 'state' listener hears at each change. */
export interface StateEvent {
  state: ConnectionState;
  /** What ended the connection or the last attempt; null on 'connected' and after close(). */
  error: BridgeError | null;
  /** On 'reconnecting': the attempt about to be made (from 1) and the wait before it. */
  attempt?: number;
  delayMs?: number;
}

export interface BridgeSession {
  /** The size of one frame in bytes. */
  readonly frameBytes: number;
  /** The bridge's last ready; null before the first connection. */
  readonly ready: ReadyMessage | null;
  /** The bridge's status page, to show the user; null before the first connection. */
  readonly statusPage: string | null;
  readonly sent: number;
  /** Frames dropped: the bridge behind (whenBusy 'drop'), or away (reconnect). */
  readonly dropped: number;
  readonly live: boolean;
  readonly state: ConnectionState;
  /** Resolves when the session ends for good: null after close(), else what ended it. */
  readonly closed: Promise<BridgeError | null>;
  /**
   * Sends one whole frame: true once handed over, false when dropped. The pixels may be
   * reused once it settles.
   */
  sendFrame(pixels: FramePixels): Promise<boolean>;
  stats(): Promise<BridgeStats>;
  close(): Promise<void>;
  /** Asks the bridge to shut down. */
  stopBridge(): Promise<void>;
  on(event: 'state', listener: (event: StateEvent) => void): this;
  off(event: 'state', listener: (event: StateEvent) => void): this;
}

/** The bridge's state file. */
export interface BridgeState {
  port: number;
  token: string;
  pid: number;
  started: string;
}

export interface HelloFields {
  source: string;
  width: number;
  height: number;
  fpsN: number;
  fpsD: number;
  format: PixelFormat;
}

export declare function connect(options: ConnectOptions): Promise<BridgeSession>;
export declare function stopBridge(options?: EndpointOptions): Promise<void>;
/** Node.js only. */
export declare function readBridgeState(file?: string): Promise<BridgeState>;
export declare function parseFrameRate(fps: FrameRate): [fpsN: number, fpsD: number];
/** The bridge's rules for a hello: null when it takes the fields, else what is wrong. */
export declare function checkHello(fields?: Partial<HelloFields> | null): string | null;
