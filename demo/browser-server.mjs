// The browser demo's own back end: serves the page (demo/browser/) and the client
// library (client/) on 127.0.0.1, hands the page the bridge's port and token from the
// bridge's state file (GET /bridge), and takes the page's final report (POST /report).
// The bridge lets the page in only when this server's origin, http://127.0.0.1:PORT, is
// listed in its KESTOVAR_BRIDGE_ORIGINS.
//
// Run on its own, it is the browser demo: serves on DEMO_PAGE_PORT (default 17481), opens
// the page in headless Chromium, prints the page's report as JSON and exits 0 when the
// page published its frames. Usage: node demo/browser-server.mjs [QUERY]
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { readBridgeState } from '../client/index.mjs';
import { openInChromium } from './chromium.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const ROOTS = { '/client/': path.join(HERE, '..', 'client'), '/': path.join(HERE, 'browser') };
const TYPES = { '.html': 'text/html; charset=utf-8', '.mjs': 'text/javascript; charset=utf-8' };
const MAX_REPORT_BYTES = 1024 * 1024;

function isLoopbackHost(host) {
  return /^(127\.0\.0\.1|localhost|\[::1\])(:\d+)?$/i.test(host || '');
}

function send(response, status, type, body) {
  response.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-store' });
  response.end(body);
}

function serveFile(response, pathname) {
  const prefix = Object.keys(ROOTS).find((p) => pathname.startsWith(p));
  const file = path.join(ROOTS[prefix], pathname.slice(prefix.length) || 'index.html');
  const type = TYPES[path.extname(file)];
  if (!type || !file.startsWith(ROOTS[prefix] + path.sep)) return send(response, 404, 'text/plain', 'not found\n');
  fs.readFile(file, (error, body) => {
    if (error) send(response, 404, 'text/plain', 'not found\n');
    else send(response, 200, type, body);
  });
}

// options: port (0 picks one), stateFile (default: the bridge's), token (hands this one
// instead of the state file's). nextReport() resolves with the page's next report.
export async function startDemoServer({ port = 0, stateFile, token } = {}) {
  const reportWaiters = [];
  const server = http.createServer((request, response) => {
    // Only this machine's names: a page elsewhere that rebinds its host name to
    // 127.0.0.1 gets nothing, and so never the token.
    if (!isLoopbackHost(request.headers.host)) return send(response, 403, 'text/plain', 'loopback only\n');
    const { pathname } = new URL(request.url, 'http://127.0.0.1');
    if (request.method === 'GET' && pathname === '/bridge') {
      readBridgeState(stateFile).then(
        (state) => send(response, 200, 'application/json', JSON.stringify({ port: state.port, token: token ?? state.token })),
        (error) => send(response, 503, 'application/json', JSON.stringify({ code: error.code, message: error.message })));
    } else if (request.method === 'POST' && pathname === '/report') {
      const chunks = [];
      let size = 0;
      request.on('data', (chunk) => {
        size += chunk.length;
        if (size <= MAX_REPORT_BYTES) chunks.push(chunk);
      });
      request.on('end', () => {
        let report = null;
        try {
          report = JSON.parse(Buffer.concat(chunks).toString('utf8'));
        } catch {
          // answered below
        }
        if (!report || size > MAX_REPORT_BYTES) return send(response, 400, 'text/plain', 'a report is JSON up to 1 MiB\n');
        send(response, 204, 'text/plain', '');
        for (const resolve of reportWaiters.splice(0)) resolve(report);
      });
    } else if (request.method === 'GET') {
      serveFile(response, pathname);
    } else {
      send(response, 405, 'text/plain', 'GET or POST /report\n');
    }
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  const origin = `http://127.0.0.1:${server.address().port}`;
  return {
    origin,
    nextReport: () => new Promise((resolve) => reportWaiters.push(resolve)),
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// Opens the page of a demo server in headless Chromium and resolves with its report.
export async function runPage(server, query = '', timeoutMs = 120000) {
  const reported = server.nextReport();
  const browser = openInChromium(`${server.origin}/?${query}`);
  let timer;
  try {
    return await Promise.race([reported, browser.exited.then((code) => {
      throw new Error(`Chromium ended (${code}) before the page reported; its output:\n${browser.output()}`);
    }), new Promise((resolve, reject) => {
      timer = setTimeout(() => reject(new Error(`the page did not report within ${timeoutMs} ms`)), timeoutMs);
    })]);
  } finally {
    clearTimeout(timer);
    await browser.close();
  }
}

async function demo() {
  const server = await startDemoServer({ port: Number(process.env.DEMO_PAGE_PORT || 17481) });
  try {
    const report = await runPage(server, process.argv[2] || '');
    console.log(JSON.stringify(report));
    if (report.error || !report.sent) process.exitCode = 1;
  } finally {
    await server.close();
  }
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  demo().catch((error) => {
    console.error(`browser demo: ${error.message}`);
    process.exitCode = 1;
  });
}
