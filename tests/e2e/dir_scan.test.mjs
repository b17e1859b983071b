// End-to-end: the three directory scans through the real server.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn, spawnSync } from 'node:child_process';
import { BIN, ON_WINE, exchange, toolCall, toolText } from './harness.mjs';

// The server under Wine sees the Linux tree through drive Z:.
const SEP = ON_WINE ? '\\' : '/';
const serverPath = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);
const FOOTER_START = '\n\n---\nThis is a read-only scan from the Corvane MCP server.';

function fixture(build) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-e2e-'));
  fs.chmodSync(root, 0o755);
  const put = (rel, size = 0) => {
    const p = path.join(root, rel);
    fs.mkdirSync(path.dirname(p), { recursive: true });
    fs.writeFileSync(p, Buffer.alloc(size, 7));
  };
  const dir = (rel) => fs.mkdirSync(path.join(root, rel), { recursive: true });
  build({ put, dir, root });
  return root;
}

// Sizes and modification times of everything below root.
function snapshot(root) {
  const out = {};
  const walk = (d) => {
    for (const e of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, e.name);
      const st = fs.lstatSync(p);
      out[p] = `${st.size} ${st.mtimeMs}`;
      if (e.isDirectory()) walk(p);
    }
  };
  walk(root);
  return out;
}

// Calls one tool per entry of `calls` in one server run; returns the
// payloads (parsed, footer checked) or error texts.
async function callAll(calls) {
  const run = await exchange(calls.map(([name, args], i) => toolCall(i + 1, name, args)));
  assert.equal(run.code, 0);
  return run.replies.map((reply) => {
    assert.equal(reply.error, undefined);
    const { text, isError } = toolText(reply);
    if (isError) return { error: text };
    const at = text.indexOf(FOOTER_START);
    assert.ok(at > 0, 'payload text ends with the footer');
    return { payload: JSON.parse(text.slice(0, at)) };
  });
}

const tree = fixture(({ put, dir }) => {
  for (let i = 1; i <= 205; i++) put(`many/f${String(i).padStart(3, '0')}.Bin`, i);
  put('big/huge.DAT', 5000);
  put('.hidden/secret', 4000);
  put('zeros/a.txt');
  put('zeros/sub/b');
  put('Keep/c.log');
  dir('chain/x/y');
  dir('bare');
});
const T = serverPath(tree);

test('scan_top_files lists the largest files and clamps top_n', async () => {
  const before = snapshot(tree);
  const r = await callAll([
    ['scan_top_files', { path: T, top_n: 3 }],
    ['scan_top_files', { path: T, top_n: 0 }],
    ['scan_top_files', { path: T, top_n: 1000 }],
    ['scan_top_files', { path: T, top_n: -5 }],
    ['scan_top_files', { path: T, top_n: 2.5 }],
    ['scan_top_files', { path: T, top_n: '50' }],
    ['scan_top_files', { path: T }],
    ['scan_top_files', { path: T + SEP + 'big' + SEP + 'huge.DAT' }],
    ['scan_top_files', { path: T + SEP + 'missing' }],
    ['scan_top_files', { path: 5 }],
    ['scan_top_files', [T]],
  ]);
  assert.deepEqual(r[0].payload, [
    { extension: 'dat', modified: r[0].payload[0].modified, name: 'huge.DAT', path: T + SEP + 'big' + SEP + 'huge.DAT', size: 5000 },
    { extension: null, modified: r[0].payload[1].modified, name: 'secret', path: T + SEP + '.hidden' + SEP + 'secret', size: 4000 },
    { extension: 'bin', modified: r[0].payload[2].modified, name: 'f205.Bin', path: T + SEP + 'many' + SEP + 'f205.Bin', size: 205 },
  ]);
  assert.ok(Math.abs(r[0].payload[0].modified - Date.now() / 1000) < 3600);
  assert.equal(r[1].payload.length, 1);
  assert.equal(r[2].payload.length, 200);
  for (const i of [3, 4, 5, 6]) assert.equal(r[i].payload.length, 20);
  assert.deepEqual(r[7].payload, []);
  assert.equal(r[8].error, `Error: PATH_NOT_FOUND: ${T}${SEP}missing`);
  assert.equal(r[9].error, 'Error: missing required string argument: path');
  assert.equal(r[10].error, 'Error: missing required string argument: path');
  assert.deepEqual(snapshot(tree), before);
});

test('scan_empty_files and scan_empty_folders report their records and counts', async () => {
  const before = snapshot(tree);
  const r = await callAll([
    ['scan_empty_files', { path: T }],
    ['scan_empty_files', { path: T, recursive: 'false' }],
    ['scan_empty_files', { path: T, recursive: false }],
    ['scan_empty_files', { path: T, exclude_paths: T + SEP + 'zeros' }],
    ['scan_empty_files', { path: T, exclude_paths: ['KEEP', 5, null, (T + SEP + 'ZEROS' + SEP + 'SUB' + SEP).toLowerCase()] }],
    ['scan_empty_folders', { path: T }],
    ['scan_empty_folders', { path: T + SEP + 'bare' }],
    ['scan_empty_folders', { path: T, exclude_paths: [T + SEP] }],
    ['scan_empty_folders', { path: T + SEP + 'big' + SEP + 'huge.DAT' }],
    ['scan_empty_files', { path: T + SEP + 'missing' }],
    ['scan_empty_files', {}],
  ]);
  const files = r[0].payload;
  assert.equal(files.total_count, 3);
  const a = files.files.find((f) => f.name === 'a.txt');
  assert.deepEqual(Object.keys(a), ['accessed', 'extension', 'modified', 'name', 'path', 'size']);
  assert.equal(a.path, T + SEP + 'zeros' + SEP + 'a.txt');
  assert.equal(a.extension, 'txt');
  assert.equal(a.size, 0);
  assert.equal(r[1].payload.total_count, 3);  // a string does not turn recursion off
  assert.deepEqual(r[2].payload, { files: [], total_count: 0 });
  assert.equal(r[3].payload.total_count, 3);  // a single string is no list
  assert.deepEqual(r[4].payload.files.map((f) => f.name), ['a.txt']);
  const dirs = r[5].payload;
  assert.deepEqual(Object.keys(dirs), ['dirs', 'total_count']);
  assert.deepEqual(dirs.dirs.map((d) => [d.path, d.recursive_empty]).sort(), [
    [T + SEP + 'bare', false],
    [T + SEP + 'chain', true],
  ]);
  assert.deepEqual(r[6].payload, { dirs: [], total_count: 0 });
  assert.deepEqual(r[7].payload, { dirs: [], total_count: 0 });
  assert.equal(r[8].error, `Error: PATH_NOT_DIRECTORY: ${T}${SEP}big${SEP}huge.DAT`);
  assert.equal(r[9].error, `Error: PATH_NOT_FOUND: ${T}${SEP}missing`);
  assert.equal(r[10].error, 'Error: missing required string argument: path');
  assert.deepEqual(snapshot(tree), before);
});

test('a path holding U+0000 names nothing, though the text before it is a folder', async () => {
  // Cut at the NUL, each of these would name a real folder and scan it.
  const paths = [T + SEP + 'zeros\u0000' + SEP + 'sub', T + '\u0000', T + SEP + 'many\u0000' + T];
  const r = await callAll(paths.flatMap((p) => [
    ['scan_top_files', { path: p }],
    ['scan_empty_files', { path: p }],
    ['scan_empty_folders', { path: p }],
  ]));
  const expected = paths.flatMap((p) => Array(3).fill({ error: `Error: PATH_NOT_FOUND: ${p}` }));
  assert.deepEqual(r, expected);
});

test('the Windows build declares long-path awareness in its manifest', { skip: !ON_WINE }, () => {
  assert.ok(fs.readFileSync(BIN).includes('<longPathAware'));
});

const asRoot = !ON_WINE && process.getuid && process.getuid() === 0;
const posixOnly = { skip: ON_WINE || process.platform === 'win32' };

test('a FIFO, links and unreadable entries neither hang nor count', posixOnly, async () => {
  const root = fixture(({ put, dir }) => {
    put('locked/zero');
    put('open/zero');
    put('open/data', 30);
    put('secret', 70);
    dir('only-fifo');
    dir('only-link');
  });
  spawnSync('mkfifo', [path.join(root, 'only-fifo', 'pipe')]);
  fs.symlinkSync('../open', path.join(root, 'only-link', 'to-open'));
  fs.chmodSync(path.join(root, 'locked'), 0);
  fs.chmodSync(path.join(root, 'secret'), 0);
  const before = snapshot(root);
  // As root every entry could be read; setpriv makes the server nobody.
  const [cmd, args] = asRoot
    ? ['setpriv', ['--reuid=65534', '--regid=65534', '--clear-groups', BIN]]
    : [BIN, []];
  const input = [
    toolCall(1, 'scan_top_files', { path: root }),
    toolCall(2, 'scan_empty_files', { path: root }),
    toolCall(3, 'scan_empty_folders', { path: root }),
  ].join('\n') + '\n';
  const out = await new Promise((resolve, reject) => {
    const child = spawn(cmd, args, { stdio: ['pipe', 'pipe', 'inherit'] });
    const chunks = [];
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error('server hung')); }, 30000);
    child.stdout.on('data', (d) => chunks.push(d));
    child.on('close', () => { clearTimeout(timer); resolve(Buffer.concat(chunks).toString('utf8')); });
    child.stdin.end(input);
  });
  const payloads = out.trim().split('\n').map((l) => {
    const text = JSON.parse(l).result.content[0].text;
    return JSON.parse(text.slice(0, text.indexOf(FOOTER_START)));
  });
  assert.deepEqual(payloads[0].map((f) => f.name), ['secret', 'data']);
  assert.deepEqual(payloads[1].files.map((f) => f.path), [path.join(root, 'open', 'zero')]);
  assert.deepEqual(payloads[2], { dirs: [], total_count: 0 });
  assert.deepEqual(snapshot(root), before);
  fs.chmodSync(path.join(root, 'locked'), 0o755);
  fs.rmSync(root, { recursive: true, force: true });
});

test.after(() => fs.rmSync(tree, { recursive: true, force: true }));
