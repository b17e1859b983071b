// scan_folder_sizes against an independent model (folder_sizes_model.py) on
// random trees, byte for byte, and the cut that keeps its widest replies in
// bounds. Natively the trees hold links, FIFOs, hard links within and across
// trees, sparse files, ill-formed names, locked folders (the server and the
// model run as nobody) and mounts (in a mount namespace of their own); under
// Wine only what Windows can show.
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
const serverPath = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);
const asRoot = !ON_WINE && process.getuid && process.getuid() === 0;
const NOBODY = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'];
const canMount = asRoot && spawnSync('unshare', ['-m', 'true']).status === 0;
// The system's Python: an unprivileged user may not reach one installed
// under root's home.
const PYTHON = fs.existsSync('/usr/bin/python3') ? '/usr/bin/python3' : 'python3';

function scratch() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-sizes-'));
  fs.chmodSync(dir, 0o755);
  return dir;
}

function removeTree(dir) {
  spawnSync('chmod', ['-R', 'u+rwx', dir]);
  spawnSync('rm', ['-rf', dir]);
}

// Runs the server on the requests and the model on the same trees, in one
// shell: inside a mount namespace with the mounts in place when it can, and
// both as nobody when run as root.
function runBoth(dir) {
  const as = asRoot ? NOBODY.join(' ') + ' ' : '';
  const server = ON_WINE ? `"${RUNNER}" "${BIN}"` : `${as}"${BIN}"`;
  const lines = ['set -e'];
  if (canMount) {
    lines.push(`xargs -0 -r -n1 sh -c 'mount -t tmpfs none "$1" && echo hidden > "$1/inside"' _ < "${dir}/mounts.list"`);
  }
  lines.push(`${server} < "${dir}/requests.jsonl" > "${dir}/server.out"`);
  lines.push(`${as}${PYTHON} - answer "${dir}" ${RULES} < "${MODEL}" > "${dir}/model.out"`);
  const argv = canMount ? ['unshare', '-m', 'sh', '-c', lines.join('\n')] : ['sh', '-c', lines.join('\n')];
  const run = spawnSync(argv[0], argv.slice(1), { encoding: 'utf8', timeout: 600000 });
  assert.equal(run.status, 0, run.stderr);
}

test('the server and the model agree byte for byte on 200 random trees', { timeout: 900000 }, () => {
  const dir = scratch();
  try {
    const made = spawnSync(PYTHON, [MODEL, 'make', dir, '200', '24', RULES], { encoding: 'utf8' });
    assert.equal(made.status, 0, made.stderr);
    runBoth(dir);
    const replies = fs.readFileSync(path.join(dir, 'server.out'), 'utf8').trimEnd().split('\n');
    const expected = fs.readFileSync(path.join(dir, 'model.out'), 'utf8').trimEnd().split('\n');
    const cases = JSON.parse(fs.readFileSync(path.join(dir, 'cases.json'), 'utf8'));
    assert.equal(replies.length, 200);
    assert.equal(expected.length, 200);
    const differ = [];
    let cut = 0;
    for (let i = 0; i < 200; i++) {
      const reply = JSON.parse(replies[i]);
      assert.equal(reply.id, i);
      const { text, isError } = { text: reply.result.content[0].text, isError: reply.result.isError };
      const want = JSON.parse(expected[i]);
      const got = isError ? { error: text.replace(/^Error: /, '') } : { text: text.slice(0, text.indexOf(FOOTER_START)) };
      if (JSON.stringify(got) !== JSON.stringify(want)) differ.push({ i, args: cases[i].arguments, got, want });
      if (!isError && text.includes('"omitted_count"')) cut++;
    }
    const first = differ[0];
    assert.equal(differ.length, 0, first && `case ${first.i} ${first.args}\n--- server\n${first.got.text ?? first.got.error}\n--- model\n${first.want.text ?? first.want.error}`);
    assert.ok(cut > 20, `top_n cut some lists (${cut} replies)`);
  } finally {
    removeTree(dir);
  }
});

test('a tree too wide for one reply keeps whole levels, shallowest first, and marks every cut', async () => {
  const dir = scratch();
  try {
    // 20 x 20 x 20 folders: the first two levels fit, the third cannot.
    const width = 20;
    for (let a = 0; a < width; a++) {
      for (let b = 0; b < width; b++) {
        const mid = path.join(dir, `a${a}`, `b${b}`);
        fs.mkdirSync(mid, { recursive: true });
        for (let c = 0; c < width; c++) fs.mkdirSync(path.join(mid, `c${c}-${'n'.repeat(40)}`));
        fs.writeFileSync(path.join(mid, 'f'), Buffer.alloc(a * width + b));
      }
    }
    const { replies } = await exchange([toolCall(1, 'scan_folder_sizes', { path: serverPath(dir), depth: 8, top_n: 100 })]);
    const { text, isError } = { text: replies[0].result.content[0].text, isError: replies[0].result.isError };
    assert.equal(isError, false);
    assert.ok(replies[0] && JSON.stringify(replies[0]).length <= 1_000_000, 'the reply line stays in budget');
    const payload = JSON.parse(text.slice(0, text.indexOf(FOOTER_START)));
    assert.equal(payload.folder_count, width + width * width + width ** 3);
    assert.equal(payload.folders.length, width);
    const mids = payload.folders.flatMap((f) => f.folders);
    assert.equal(mids.length, width * width, 'the second level is whole');
    const leaves = mids.map((m) => m.folders.length);
    const listed = leaves.reduce((x, y) => x + y, 0);
    assert.ok(listed < width ** 3, 'the third level was cut');
    // Whole folders first: every folder before the first cut one is complete.
    const firstCut = mids.findIndex((m) => m.truncated);
    if (firstCut >= 0) {
      assert.ok(mids.slice(0, firstCut).every((m) => m.folders.length === width && !('omitted_count' in m)));
      for (const m of mids.slice(firstCut)) {
        assert.equal(m.truncated, true);
        assert.equal(m.omitted_count + m.folders.length, width);
        assert.equal(m.omitted_size, 0);
      }
    }
  } finally {
    removeTree(dir);
  }
});
