// scan_folder_sizes against an independent model (folder_sizes_model.py) on
// 200 random trees, byte for byte: natively with links, FIFOs, hard links,
// sparse files, ill-formed names, locked folders (server and model run as
// nobody) and mounts (in a mount namespace of their own); under Wine with
// what Windows can show. Then the cut of a tree too wide for one reply.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { BIN, ON_WINE, RUNNER, exchange, toolCall } from './harness.mjs';

const MODEL = fileURLToPath(new URL('./folder_sizes_model.py', import.meta.url));
const RULES = ON_WINE ? 'windows' : 'posix';
const FOOTER_START = '\n\n---\nThis is a read-only scan from the Corvane MCP server.';
const asRoot = !ON_WINE && process.getuid?.() === 0;
const canMount = asRoot && spawnSync('unshare', ['-m', 'true']).status === 0;
// The system's Python: nobody may not reach one installed under root's home.
const PYTHON = fs.existsSync('/usr/bin/python3') ? '/usr/bin/python3' : 'python3';
const payloadOf = (text) => text.slice(0, text.indexOf(FOOTER_START));

async function withScratch(body) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-sizes-'));
  fs.chmodSync(dir, 0o755);
  try {
    return await body(dir);
  } finally {
    spawnSync('chmod', ['-R', 'u+rwx', dir]);
    spawnSync('rm', ['-rf', dir]);
  }
}

test('the server and the model agree byte for byte on 200 random trees', { timeout: 900000 }, () => withScratch((dir) => {
  const made = spawnSync(PYTHON, [MODEL, 'make', dir, '200', '24', RULES], { encoding: 'utf8' });
  assert.equal(made.status, 0, made.stderr);
  // One shell runs both, after the mounts are in place.
  const as = asRoot ? 'setpriv --reuid=65534 --regid=65534 --clear-groups ' : '';
  const script = [
    'set -e',
    canMount ? `xargs -0 -r -n1 sh -c 'mount -t tmpfs none "$1" && echo hidden > "$1/inside"' _ < "${dir}/mounts.list"` : '',
    `${ON_WINE ? `"${RUNNER}" ` : as}"${BIN}" < "${dir}/requests.jsonl" > "${dir}/server.out"`,
    `${as}${PYTHON} - answer "${dir}" ${RULES} < "${MODEL}" > "${dir}/model.out"`,
  ].join('\n');
  const run = spawnSync(canMount ? 'unshare' : 'sh', [...(canMount ? ['-m', 'sh'] : []), '-c', script],
    { encoding: 'utf8', timeout: 600000 });
  assert.equal(run.status, 0, run.stderr);
  const lines = (name) => fs.readFileSync(path.join(dir, name), 'utf8').trimEnd().split('\n');
  const [replies, expected] = [lines('server.out'), lines('model.out')];
  const cases = JSON.parse(fs.readFileSync(path.join(dir, 'cases.json'), 'utf8'));
  assert.equal(replies.length, 200);
  let cut = 0;
  for (let i = 0; i < 200; i++) {
    const { result } = JSON.parse(replies[i]);
    const text = result.content[0].text;
    const got = result.isError ? { error: text.replace(/^Error: /, '') } : { text: payloadOf(text) };
    const want = JSON.parse(expected[i]);
    assert.equal(got.text ?? got.error, want.text ?? want.error, `case ${i}: ${cases[i].arguments}`);
    if (text.includes('"omitted_count"')) cut++;
  }
  assert.ok(cut > 20, `top_n cut lists in ${cut} replies`);
}));

test('a tree too wide for one reply keeps whole levels, shallowest first, and marks every cut', () => withScratch(async (dir) => {
  const width = 20;  // 20 x 20 x 20 folders: two levels fit, the third cannot
  for (let a = 0; a < width; a++) {
    for (let b = 0; b < width; b++) {
      const mid = path.join(dir, `a${a}`, `b${b}`);
      fs.mkdirSync(mid, { recursive: true });
      for (let c = 0; c < width; c++) fs.mkdirSync(path.join(mid, `c${c}-${'n'.repeat(40)}`));
      fs.writeFileSync(path.join(mid, 'f'), Buffer.alloc(a * width + b));
    }
  }
  const root = ON_WINE ? 'Z:' + dir.replaceAll('/', '\\') : dir;
  const { replies, lines } = await exchange([toolCall(1, 'scan_folder_sizes', { path: root, depth: 8, top_n: 100 })]);
  assert.ok(lines[0].length <= 1_000_000, 'the reply line stays in budget');
  const payload = JSON.parse(payloadOf(replies[0].result.content[0].text));
  assert.equal(payload.folder_count, width + width ** 2 + width ** 3);
  const mids = payload.folders.flatMap((f) => f.folders);
  assert.equal(mids.length, width ** 2, 'the first two levels are whole');
  const firstCut = mids.findIndex((m) => m.truncated);
  assert.ok(firstCut >= 0, 'the third level was cut');
  assert.ok(mids.slice(0, firstCut).every((m) => m.folders.length === width && !('omitted_count' in m)));
  for (const m of mids.slice(firstCut)) {
    assert.deepEqual([m.truncated, m.omitted_count + m.folders.length, m.omitted_size], [true, width, 0]);
  }
}));
