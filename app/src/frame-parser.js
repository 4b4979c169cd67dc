'use strict';
// Reads the frames a client sends (RFC 6455, no extensions): an explicit state machine
// (header, then payload) that copies each payload straight into a buffer its owner chose
// and unmasks it there, and refuses every violation with its close code.

const OPCODE = { CONTINUATION: 0x0, TEXT: 0x1, BINARY: 0x2, CLOSE: 0x8, PING: 0x9, PONG: 0xa };
const MAX_CONTROL_PAYLOAD = 125;
// A client frame's header: 2 bytes, an 8-byte length and the 4-byte mask at most.
const MAX_HEADER_BYTES = 14;

// A violation that ends the connection: `code` is the stable name of the refusal that
// clients can act on, `closeCode` the close frame's code, as in the client's BridgeError.
class WebSocketError extends Error {
  constructor(code, message, closeCode) {
    super(message);
    this.code = code;
    this.closeCode = closeCode;
  }
}

// A violation of the framing itself: protocol_error, by default with close code 1002.
function protocolError(message, closeCode = 1002) {
  return new WebSocketError('protocol_error', message, closeCode);
}

// Close codes a peer may send on the wire (1005, 1006 and 1015 are never sent).
function isValidCloseCode(code) {
  return (code >= 1000 && code <= 1014 && code !== 1004 && code !== 1005 && code !== 1006) ||
    (code >= 3000 && code <= 4999);
}

const strictUtf8 = new TextDecoder('utf-8', { fatal: true });

function decodeUtf8(bytes) {
  try {
    return strictUtf8.decode(bytes);
  } catch {
    throw protocolError('text is not valid UTF-8', 1007);
  }
}

// The code and reason of a received close frame; { code: 1005 } when it carries none.
function parseClosePayload(payload) {
  if (payload.length === 0) return { code: 1005, reason: '' };
  if (payload.length === 1) throw protocolError('close frame with a 1-byte payload');
  const code = payload.readUInt16BE(0);
  if (!isValidCloseCode(code)) throw protocolError(`invalid close code ${code}`);
  return { code, reason: decodeUtf8(payload.subarray(2)) };
}

// Plain XOR for when the native unmasker is not at hand; mask is 4 bytes, already
// rotated to the phase of data[0].
function unmaskInJs(data, mask) {
  for (let i = 0; i < data.length; i++) data[i] ^= mask[i & 3];
  return data;
}

const HEADER = 0;
const PAYLOAD = 1;

// Parses the client-to-server frame stream. The owner supplies:
//   unmask(buffer, mask4)                 XOR in place, mask rotated to buffer[0]'s phase
//   beginMessage(opcode, length, fin)     the buffer the message's payload is copied into
//                                         (its length is the message's limit); may throw
//                                         WebSocketError to refuse the message
//   endMessage(opcode, buffer, length)    a whole message now sits in buffer[0, length)
//   control(opcode, payload)              a close, ping or pong (payload is reused after)
// push(chunk) throws WebSocketError on any protocol violation; nothing is parsed after
// that, nor after stop(). A reader that can choose where each read lands asks
// directTarget() first and reports a read into it with directArrived(count), which may
// throw the same way.
function createFrameParser(owner) {
  const header = Buffer.alloc(MAX_HEADER_BYTES);
  let headerHave = 0;
  let state = HEADER;
  let stopped = false;

  // The current frame.
  let fin = false;
  let opcode = 0;
  let frameLength = 0;
  let frameDone = 0;
  // The four rotations of the frame's mask: rotation k applies to a slice that starts at
  // payload offset k modulo 4.
  const maskRotations = Buffer.alloc(16);
  const masks = [0, 1, 2, 3].map((k) => maskRotations.subarray(4 * k, 4 * k + 4));
  const controlPayload = Buffer.alloc(MAX_CONTROL_PAYLOAD);

  // The current data message (possibly fragmented).
  let messageOpcode = 0;
  let messageTarget = null;
  let messageLength = 0;

  function headerNeeded() {
    if (headerHave < 2) return 2;
    const len7 = header[1] & 0x7f;
    return 2 + (len7 === 126 ? 2 : len7 === 127 ? 8 : 0) + 4;
  }

  // The first two bytes already show most violations; they are answered before waiting
  // for a length and mask that may never come.
  function checkFirstBytes() {
    if (header[0] & 0x70) throw protocolError('reserved bits set: no extension was negotiated');
    if (!(header[1] & 0x80)) throw protocolError('client frames must be masked');
  }

  function startFrame() {
    const b0 = header[0];
    const b1 = header[1];
    fin = (b0 & 0x80) !== 0;
    opcode = b0 & 0x0f;
    const len7 = b1 & 0x7f;
    let offset = 2;
    if (len7 === 126) {
      frameLength = header.readUInt16BE(2);
      offset = 4;
    } else if (len7 === 127) {
      const high = header.readUInt32BE(2);
      if (high & 0x80000000) throw protocolError('64-bit payload length with the top bit set');
      // Exact up to 2^53; anything larger is far over every limit anyway.
      frameLength = high * 0x100000000 + header.readUInt32BE(6);
      offset = 10;
    } else {
      frameLength = len7;
    }
    for (let k = 0; k < 4; k++) {
      for (let j = 0; j < 4; j++) maskRotations[4 * k + j] = header[offset + ((k + j) & 3)];
    }
    frameDone = 0;

    if (opcode >= 0x8) {
      if (opcode !== OPCODE.CLOSE && opcode !== OPCODE.PING && opcode !== OPCODE.PONG) {
        throw protocolError(`unknown control opcode ${opcode}`);
      }
      if (!fin) throw protocolError('control frames must not be fragmented');
      if (frameLength > MAX_CONTROL_PAYLOAD) {
        throw protocolError('control frame payload over 125 bytes');
      }
    } else if (opcode === OPCODE.CONTINUATION) {
      if (!messageTarget) throw protocolError('continuation frame without a message to continue');
    } else if (opcode === OPCODE.TEXT || opcode === OPCODE.BINARY) {
      if (messageTarget) throw protocolError('new message before the fragmented one ended');
      messageTarget = owner.beginMessage(opcode, frameLength, fin);
      messageOpcode = opcode;
      messageLength = 0;
    } else {
      throw protocolError(`unknown data opcode ${opcode}`);
    }
    if (opcode < 0x8 && messageLength + frameLength > messageTarget.length) {
      throw protocolError(`message too big: the limit is ${messageTarget.length} bytes`, 1009);
    }
    state = PAYLOAD;
  }

  function endFrame() {
    state = HEADER;
    headerHave = 0;
    if (opcode >= 0x8) {
      owner.control(opcode, controlPayload.subarray(0, frameLength));
      return;
    }
    messageLength += frameLength;
    if (fin) {
      const target = messageTarget;
      messageTarget = null;
      owner.endMessage(messageOpcode, target, messageLength);
    }
  }

  // The payload bytes [at, at + count) of the current frame now sit in target: they are
  // unmasked where they are.
  function payloadArrived(target, at, count) {
    owner.unmask(target.subarray(at, at + count), masks[frameDone & 3]);
    frameDone += count;
    if (frameDone === frameLength) endFrame();
  }

  function push(chunk) {
    let pos = 0;
    while (!stopped) {
      if (state === HEADER) {
        if (pos >= chunk.length) return;
        let needed = headerNeeded();
        while (headerHave < needed && pos < chunk.length) {
          header[headerHave++] = chunk[pos++];
          if (headerHave === 2) {
            checkFirstBytes();
            needed = headerNeeded();
          }
        }
        if (headerHave < needed) return;
        startFrame();
        if (frameLength === 0) endFrame();
        continue;
      }
      if (pos >= chunk.length) return;
      const count = Math.min(frameLength - frameDone, chunk.length - pos);
      const target = opcode >= 0x8 ? controlPayload : messageTarget;
      const at = opcode >= 0x8 ? frameDone : messageLength + frameDone;
      // The one copy a payload byte makes on this path: from the socket's chunk into its
      // final place, then unmasked there.
      chunk.copy(target, at, pos, pos + count);
      pos += count;
      payloadArrived(target, at, count);
    }
  }

  // Where the next socket read may land directly: the rest of the current binary
  // message's buffer, from where its payload goes on, while a frame's payload is coming
  // and also between its fragments (Chromium sends a large message in frames of about
  // 128 KB, each written on its own, so a read often ends right at a frame's end). A read
  // that brings headers with it, the next fragment's or those after, goes through push(),
  // which moves each payload back into place. Null while the parser must look at the
  // bytes first: a message's first header, control frames, text, or a buffer with no room
  // left for a whole header.
  function directTarget() {
    if (stopped || !messageTarget || messageOpcode !== OPCODE.BINARY) return null;
    if (state === PAYLOAD) return opcode >= 0x8 ? null : messageTarget.subarray(messageLength + frameDone);
    return messageTarget.length - messageLength < MAX_HEADER_BYTES ? null : messageTarget.subarray(messageLength);
  }

  // count bytes were read into the start of the last directTarget().
  function directArrived(count) {
    if (stopped) return;
    const target = messageTarget;
    if (state === HEADER) {
      push(target.subarray(messageLength, messageLength + count));
      return;
    }
    const at = messageLength + frameDone;
    const inFrame = Math.min(count, frameLength - frameDone);
    payloadArrived(target, at, inFrame);
    // Buffer#copy moves overlapping bytes correctly, and each payload only moves back.
    if (count > inFrame) push(target.subarray(at + inFrame, at + count));
  }

  return {
    push,
    directTarget,
    directArrived,
    stop() {
      stopped = true;
    },
  };
}

// Splits a stream of whole frames, masked or not, as a peer sent them: { frames, rest },
// frames as { fin, rsv, opcode, mask, payload } (mask null when unmasked, payload
// unmasked), rest the bytes of an unfinished frame at the end. For the bridge's own small
// client, the tests and the tools; the bridge reads its clients with createFrameParser.
function parseFrames(bytes) {
  const frames = [];
  let at = 0;
  while (at + 2 <= bytes.length) {
    const masked = (bytes[at + 1] & 0x80) !== 0;
    const len7 = bytes[at + 1] & 0x7f;
    const lengthBytes = len7 === 126 ? 2 : len7 === 127 ? 8 : 0;
    const start = at + 2 + lengthBytes + (masked ? 4 : 0);
    if (start > bytes.length) break;
    const length = lengthBytes === 2 ? bytes.readUInt16BE(at + 2) : lengthBytes === 8 ? Number(bytes.readBigUInt64BE(at + 2)) : len7;
    if (start + length > bytes.length) break;
    const mask = masked ? Buffer.from(bytes.subarray(start - 4, start)) : null;
    const payload = Buffer.from(bytes.subarray(start, start + length));
    if (mask) unmaskInJs(payload, mask);
    frames.push({ fin: (bytes[at] & 0x80) !== 0, rsv: (bytes[at] >> 4) & 7, opcode: bytes[at] & 0x0f, mask, payload });
    at = start + length;
  }
  return { frames, rest: bytes.subarray(at) };
}

module.exports = { OPCODE, WebSocketError, createFrameParser, parseClosePayload, parseFrames, decodeUtf8, unmaskInJs };
