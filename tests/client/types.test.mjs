// The client package's declarations as a TypeScript application sees them: the examples
// in types/, beside the package as `npm pack` makes it and npm installs it (its `files`,
// its `exports` and `types` conditions, for import and require), pass `tsc --noEmit
// --strict`; without their @ts-expect-error directives, each of those lines is an error,
// so the declarations refuse what they must.
import test from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync, spawnSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const ROOT = path.join(HERE, '..', '..');
const TSC = path.join(ROOT, 'node_modules', 'typescript', 'bin', 'tsc');
const DIRECTIVE = /^[ \t]*\/\/ @ts-expect-error\b.*\n/gm;

function project(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestovar-types-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const installed = path.join(dir, 'node_modules', 'kestovar-bridge-client');
  fs.mkdirSync(installed, { recursive: true });
  const pack = spawnSync('npm', ['pack', path.join(ROOT, 'client'), '--pack-destination', dir, '--silent'],
    { cwd: dir, encoding: 'utf8' });
  assert.equal(pack.status, 0, pack.stderr);
  const tarball = path.join(dir, pack.stdout.trim().split('\n').at(-1));
  execFileSync('tar', ['-xzf', tarball, '-C', installed, '--strip-components=1']);
  fs.cpSync(path.join(HERE, 'types'), dir, { recursive: true });
  return dir;
}

function tsc(dir) {
  const run = spawnSync(process.execPath, [TSC, '-p', '.', '--noEmit', '--strict', '--pretty', 'false'], { cwd: dir, encoding: 'utf8' });
  return { status: run.status, output: run.stdout + run.stderr };
}

test('the examples type-check, and every @ts-expect-error line is an error', (t) => {
  const dir = project(t);
  const checked = tsc(dir);
  assert.equal(checked.status, 0, checked.output);

  // The lines after each directive, as they stand once the directives are gone.
  const expected = [];
  for (const file of fs.readdirSync(dir).filter((f) => /\.[mc]ts$/.test(f))) {
    const text = fs.readFileSync(path.join(dir, file), 'utf8');
    let removed = 0;
    for (const match of text.matchAll(DIRECTIVE)) {
      expected.push(`${file}:${text.slice(0, match.index).split('\n').length - removed++}`);
    }
    fs.writeFileSync(path.join(dir, file), text.replace(DIRECTIVE, ''));
  }
  assert.ok(expected.length >= 8, 'the examples hold their directives');
  const unchecked = tsc(dir);
  const errors = [...unchecked.output.matchAll(/^(\S+)\((\d+),\d+\): error TS\d+/gm)].map((m) => `${m[1]}:${m[2]}`);
  assert.deepEqual([...new Set(errors)].sort(), expected.sort(), unchecked.output);
});
