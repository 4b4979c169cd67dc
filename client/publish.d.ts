// Types of kestovar-bridge-client/publish: publishing a page's canvas, video or camera.
/// <reference lib="dom" />
import type { BridgeError, BridgeSession, ConnectOptions } from './index.js';

export type CaptureMethod = 'auto' | 'webcodecs' | 'getImageData';
/** How RGB becomes UYVY: 'auto' (default) is WebGL2 on a GPU of the browser's own, else script. */
export type UyvyConversion = 'auto' | 'webgl' | 'script';

export interface PublishOptions extends Omit<ConnectOptions, 'width' | 'height' | 'whenBusy'> {
  /** 'RGBA' (default) or 'UYVY' (BT.709, video range, half the bytes, no alpha; an even width). */
  format?: 'RGBA' | 'UYVY';
  /** 'auto' (default): WebCodecs where the browser has it, else getImageData. */
  capture?: CaptureMethod;
  /** UYVY only. */
  conversion?: UyvyConversion;
  /** Called with each frame's bytes (RGBA or UYVY) once sent; they are valid only during the call. */
  onSent?: (pixels: Uint8Array | Uint8ClampedArray) => void;
}

export interface PublishVideoOptions extends PublishOptions {
  /** The frame size, scaled; default the video's own. */
  width?: number;
  height?: number;
}

export interface PublisherStats {
  /** How a frame is taken: 'webgl' when UYVY is converted with WebGL2 straight from the picture. */
  method: 'webcodecs' | 'getImageData' | 'webgl';
  format: 'RGBA' | 'UYVY';
  /** Which conversion to UYVY ran; null for RGBA. */
  conversion: 'webgl' | 'script' | null;
  /** Where frames are sent from: the publisher's own worker, or the page's thread (no worker could start, or options.WebSocket was given). */
  sending: 'worker' | 'page';
  width: number;
  height: number;
  fpsN: number;
  fpsD: number;
  captured: number;
  sent: number;
  /** Capture still busy, a late tick, or the bridge behind or away. */
  dropped: number;
  /** Milliseconds spent in all taking (and converting) frames, and handing them to the socket. */
  captureMs: number;
  sendMs: number;
}

export interface Publisher {
  /** The session underneath: its state events, status page and the bridge's stats(). */
  readonly bridge: BridgeSession;
  stop(): Promise<void>;
  stats(): PublisherStats;
  /** Resolves when publishing ends: null after stop(), else what ended it. */
  readonly closed: Promise<BridgeError | Error | null>;
}

export declare function publishCanvas(canvas: HTMLCanvasElement | OffscreenCanvas, options: PublishOptions): Promise<Publisher>;
export declare function publishVideo(source: HTMLVideoElement | MediaStreamTrack, options: PublishVideoOptions): Promise<Publisher>;
/** In place: a VideoFrame's RGBA, RGBX, BGRA or BGRX pixels made RGBA with alpha 255 where undefined. */
export declare function toRgba(pixels: Uint8Array, format: 'RGBA' | 'RGBX' | 'BGRA' | 'BGRX'): void;
/** RGB pixels (4 bytes each, red or blue first, alpha ignored) as UYVY, BT.709 video range, into out. */
export declare function rgbToUyvy(pixels: Uint8Array | Uint8ClampedArray, width: number, height: number,
  out?: Uint8Array, redFirst?: boolean): Uint8Array;
