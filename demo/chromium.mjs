// Debian's Chromium, headless, on one page, with a fresh profile that is removed again.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const FLAGS = ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

export function openInChromium(url, binary = process.env.CHROMIUM || 'chromium') {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-chromium-'));
  // Its own process group, so that closing it ends its helper processes too.
  const child = spawn(binary, [...FLAGS, `--user-data-dir=${profile}`, url], {
    detached: true, stdio: ['ignore', 'pipe', 'pipe'],
  });
  let output = '';
  const keep = (chunk) => { output = (output + chunk).slice(-8000); };
  child.stdout.on('data', keep);
  child.stderr.on('data', keep);
  const exited = new Promise((resolve) => {
    child.on('error', (error) => { keep(`${error.message}\n`); resolve(-1); });
    child.on('exit', (code, signal) => resolve(code ?? signal));
  });
  async function close() {
    if (child.exitCode === null && child.signalCode === null && child.pid) {
      try {
        process.kill(-child.pid, 'SIGTERM');
      } catch {
        // already gone
      }
      const timer = setTimeout(() => { try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ } }, 5000);
      await exited;
      clearTimeout(timer);
    }
    fs.rmSync(profile, { recursive: true, force: true });
  }
  return { exited, close, output: () => output };
}
