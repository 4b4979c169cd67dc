'use strict';
// How the bridge reads its connections.
//
// Node reads a TCP socket 64 KiB at a time into a fresh buffer each time. Under Wine
// every read is a trip through the Wine server, and at that size the reads alone cost
// more CPU than everything else a frame needs. A socket given a caller's buffers
// ("onread" with a function) reads as much as each buffer holds, and asks for the next
// buffer after every read. So while a frame's payload is coming, each read lands straight
// in that frame's buffer at the right offset, bounded to the bytes the frame still
// lacks, and the payload is never copied; headers, control frames and text go through one
// small buffer. Node offers that only for sockets it creates itself, so the accepted
// (still paused) connection's handle is moved into a socket made with it. Every read is
// handled before the next starts, all on the one script thread, so the small buffer
// serves every connection.
//
// That move relies on how Node builds sockets, so it is checked before it is relied on:
// the new socket must own the handle and hold the buffer function. Otherwise the
// connection is read the plain way ('data' events, every payload copied once), which is
// slower but just as exact.

const net = require('node:net');

// Big enough for many small messages at once, small enough that the part of a frame's
// payload that arrives with its header (and so is copied) stays a sliver of the frame.
const SMALL_READ_BYTES = 64 * 1024;
// The most one read into a frame asks for. Under Wine the Wine server takes a share of
// every read: of the sizes tried on 2160p frames (64 KiB to the whole frame), 4 MiB steps
// cost it least (bench/chain.js, wineserver column); small steps cost far more reads.
const MAX_DIRECT_READ_BYTES = 4 * 1024 * 1024;
let smallReadBuffer = null;

// The socket's own record of what it was given (symbol-keyed slots in Node's socket),
// found by value so that no name of Node's internals is relied on.
function holds(socket, value) {
  return Object.getOwnPropertySymbols(socket).some((key) => socket[key] === value);
}

function readPlainly(socket, reads) {
  socket.on('data', reads.chunk);
  socket.resume();
  return { socket, largeReads: false };
}

// reads: chunk(bytes) for bytes the parser must look at; target() the buffer the next
// read may land in directly, or null; arrived(count) count bytes landed at the start of
// the last target.
// Returns { socket, largeReads, why }: the socket to use from now on (which may not be
// `accepted`), and whether it reads into buffers of its own choosing.
function openConnection(accepted, reads, { plainReads = false } = {}) {
  const handle = accepted._handle;
  if (plainReads) return { ...readPlainly(accepted, reads), why: 'plain reads asked for' };
  if (!handle || typeof handle.useUserBuffer !== 'function') {
    return { ...readPlainly(accepted, reads), why: 'the connection has no handle that takes a buffer' };
  }
  smallReadBuffer ??= Buffer.allocUnsafeSlow(SMALL_READ_BYTES);
  let target = null;
  const nextBuffer = () => {
    target = reads.target();
    if (target && target.length > MAX_DIRECT_READ_BYTES) target = target.subarray(0, MAX_DIRECT_READ_BYTES);
    return target || smallReadBuffer;
  };
  const onRead = (bytes, buffer) => {
    if (buffer === target) reads.arrived(bytes);
    else reads.chunk(buffer.subarray(0, bytes));
  };
  let socket;
  try {
    socket = new net.Socket({ handle, readable: true, writable: true, onread: { buffer: nextBuffer, callback: onRead } });
  } catch (error) {
    return { ...readPlainly(accepted, reads), why: error.message };
  }
  if (socket._handle !== handle) {
    // The handle never moved: the accepted socket still owns it and reads the plain way.
    socket.destroy();
    return { ...readPlainly(accepted, reads), why: 'the handle did not move' };
  }
  accepted._handle = null;
  if (!holds(socket, nextBuffer)) {
    return { ...readPlainly(socket, reads), why: 'the socket did not take the buffer function' };
  }
  return { socket, largeReads: true };
}

module.exports = { openConnection };
