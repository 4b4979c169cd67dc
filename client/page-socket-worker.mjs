// The worker that holds a page's WebSocket to the bridge (page-socket.mjs): it opens the
// socket it is asked for, sends what it is handed, and tells the page every event, and
// how far the socket's bufferedAmount has come down.
const POLL_MS = 2;
let socket = null;
let taken = 0;
let told = -1;
let watching = false;

// Chromium lowers bufferedAmount as its network service takes the bytes, and tells no
// one when: while bytes wait, it is looked at every POLL_MS.
function tellBuffered(spare = null) {
  const amount = socket.bufferedAmount;
  if (amount !== told || spare) {
    told = amount;
    postMessage({ type: 'buffered', amount, taken, spare }, spare ? [spare] : []);
  }
  if (amount > 0 && !watching) {
    watching = true;
    setTimeout(() => {
      watching = false;
      tellBuffered();
    }, POLL_MS);
  }
}

function open(url) {
  socket = new WebSocket(url);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => postMessage({ type: 'open' });
  socket.onerror = () => postMessage({ type: 'error' });
  socket.onmessage = (event) => postMessage({ type: 'message', data: event.data });
  socket.onclose = (event) => postMessage({ type: 'close', code: event.code, reason: event.reason, wasClean: event.wasClean });
}

onmessage = ({ data: message }) => {
  if (message.type === 'open') open(message.url);
  else if (message.type === 'close') socket.close(message.code, message.reason);
  else if (message.type === 'send' && typeof message.data === 'string') socket.send(message.data);
  else if (message.type === 'send') {
    // send() takes a copy of the bytes, so the buffer goes back to the page for the next frame.
    socket.send(message.data);
    taken += message.data.byteLength;
    tellBuffered(message.data);
  }
};

postMessage({ type: 'started' });
