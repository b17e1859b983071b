// End-to-end: find_duplicates on random trees against an independent model
// (duplicates_model.py: walk, group, hash, written from the tool's rules),
// byte for byte. The trees hold hard links, same-size files that differ in
// one byte, files around the 64 KiB windows, links, unreadable files and
// folders, names that are not UTF-8, nested and repeated search
// directories, excludes and, where a private mount namespace can be had,
// mounts of folders and of a file. Under Wine the same, less the links and
// the names that are not UTF-8, which Wine cannot show as Windows would.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { BIN, RUNNER, ON_WINE, exchange, toolCall, toolText } from './harness.mjs';

const TREES = 200;
const MODEL = new URL('./duplicates_model.py', import.meta.url).pathname;
const FOOTER = '\n\n---\n';
const native = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);

// Root reads everything; without the two capabilities that let it, the
// server meets unreadable files as any user would.
const asRoot = process.getuid?.() === 0;
const dropPower = asRoot ? ['setpriv', '--bounding-set=-dac_override,-dac_read_search', '--'] : [];
const canMount = !ON_WINE && asRoot && spawnSync('unshare', ['-m', 'true']).status === 0;

// A small deterministic generator, so that a failing tree can be rebuilt.
function random(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const SIZES = [1, 2, 5, 300, 4096, 65535, 65536, 65537, 131072, 131073, 140000];

function contentPool(rnd) {
  const pick = (list) => list[Math.floor(rnd() * list.length)];
  const pool = [];
  for (let k = 0; k < 4; k++) {
    const size = pick(SIZES);
    const base = Buffer.alloc(size);
    for (let i = 0; i < size; i++) base[i] = (i * 131 + k * 17 + size) & 0xff;
    pool.push(base);
    // Same size, one byte apart: in the middle (inside neither window of a
    // file over 128 KiB), at the end, at the start.
    for (const at of [size >> 1, size - 1, 0]) {
      if (rnd() < 0.5) continue;
      const near = Buffer.from(base);
      near[at] ^= 0x5a;
      pool.push(near);
    }
  }
  return pool;
}

// One tree: returns its arguments and what the mount script must do.
function buildTree(top, seed) {
  const rnd = random(seed);
  const pick = (list) => list[Math.floor(rnd() * list.length)];
  const root = path.join(top, `t${seed}`);
  const folders = ['', 'a', 'a/b', 'A/Skip', 'c', 'c/d/e', 'keep'];
  for (const f of folders) fs.mkdirSync(path.join(root, f), { recursive: true });
  const pool = contentPool(rnd);
  const files = [];
  const count = 6 + Math.floor(rnd() * 12);
  for (let i = 0; i < count; i++) {
    const p = path.join(root, pick(folders), `f${i}${pick(['', '.txt', '.BIN'])}`);
    fs.writeFileSync(p, pick(pool));
    files.push(p);
  }
  fs.writeFileSync(path.join(root, pick(folders), 'empty'), '');
  for (let i = 0; i < 2; i++) {
    if (rnd() < 0.5) fs.linkSync(pick(files), path.join(root, pick(folders), `hard${i}`));
  }
  // Wine shows a Unix link as what it points to: links are the native run's.
  if (!ON_WINE && rnd() < 0.5) fs.symlinkSync(pick(files), path.join(root, pick(folders), 'file-link'));
  if (!ON_WINE && rnd() < 0.5) fs.symlinkSync(path.join(root, 'a'), path.join(root, 'c', 'folder-link'));
  if (!ON_WINE && rnd() < 0.4) {
    // Two names that show as the same text.
    const content = pick(pool);
    for (const byte of [0xff, 0xfe]) {
      fs.writeFileSync(Buffer.concat([Buffer.from(path.join(root, 'keep') + '/'), Buffer.from([byte, 0x41])]), content);
    }
  }
  const locked = [];
  if (rnd() < 0.4) {
    const p = path.join(root, pick(folders), 'locked-file');
    fs.writeFileSync(p, pick(pool));
    locked.push(p);
  }
  if (rnd() < 0.3) {
    const d = path.join(root, 'c', 'locked-folder');
    fs.mkdirSync(d);
    fs.writeFileSync(path.join(d, 'inside'), pick(pool));
    locked.push(d);
  }
  for (const p of locked) fs.chmodSync(p, 0);
  const mounts = [];
  if (canMount && rnd() < 0.4) {
    fs.mkdirSync(path.join(root, 'a', 'mnt'));
    mounts.push({ dir: path.join(root, 'a', 'mnt'), content: pick(pool) });
  }
  if (canMount && rnd() < 0.3) mounts.push({ file: pick(files), over: path.join(top, 'bound.dat') });

  const dirs = [root];
  const extra = rnd();
  if (extra < 0.25) dirs.push(path.join(root, 'a'));
  else if (extra < 0.4) dirs.unshift(path.join(root, 'c', 'd'));
  else if (extra < 0.5) dirs.push(root);
  else if (extra < 0.6) dirs.splice(0, 1, path.join(root, 'a'), path.join(root, 'c'));
  else if (extra < 0.7 && fs.existsSync(path.join(root, 'c', 'folder-link'))) dirs.push(path.join(root, 'c', 'folder-link'));
  const args = { search_dirs: dirs.map(native) };
  if (rnd() < 0.2) args.recursive = false;
  const minSize = pick([undefined, undefined, 0, 2, 65537, '300', -4]);
  if (minSize !== undefined) args.min_size = minSize;
  const exclude = rnd();
  if (exclude < 0.2) args.exclude_paths = ['skip'];
  else if (exclude < 0.35) args.exclude_paths = [native(path.join(root, 'C')).toUpperCase() + '/'];
  else if (exclude < 0.45) args.exclude_paths = ['.txt', 5];
  const effective = Number.isInteger(minSize) && minSize > 0 ? minSize : 1;
  const model = {
    search_dirs: dirs, recursive: args.recursive !== false, min_size: effective,
    exclude_paths: (args.exclude_paths ?? []).filter((e) => typeof e === 'string'), wine: ON_WINE,
  };
  return { args, model, mounts, locked };
}

let top;
let trees;

before(() => {
  top = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-dups-')));
  fs.writeFileSync(path.join(top, 'bound.dat'), Buffer.alloc(65537, 9));
  trees = Array.from({ length: TREES }, (_, i) => buildTree(top, i + 1));
});

after(() => {
  for (const t of trees ?? []) for (const p of t.locked) fs.chmodSync(p, 0o755);
  fs.rmSync(top, { recursive: true, force: true });
});

// The mounts, then the server and the model in the same namespace.
function runInNamespace(input) {
  const q = (p) => `'${p.replaceAll("'", "'\\''")}'`;
  const lines = ['set -e'];
  let held = 0;
  for (const t of trees) {
    for (const m of t.mounts) {
      if (m.dir) {
        // A copy of a file outside, which the walk must not see.
        const content = path.join(top, `mounted-${++held}`);
        fs.writeFileSync(content, m.content);
        lines.push(`mount -t tmpfs none ${q(m.dir)}`, `cp ${q(content)} ${q(m.dir + '/inside')}`);
      } else {
        lines.push(`mount --bind ${q(m.over)} ${q(m.file)}`);
      }
    }
  }
  fs.writeFileSync(path.join(top, 'calls'), input);
  fs.writeFileSync(path.join(top, 'model-in'), JSON.stringify(trees.map((t) => t.model)));
  lines.push(`${[...dropPower, BIN].map(q).join(' ')} < ${q(path.join(top, 'calls'))} > ${q(path.join(top, 'replies'))}`);
  lines.push(`python3 ${q(MODEL)} < ${q(path.join(top, 'model-in'))} > ${q(path.join(top, 'model-out'))}`);
  const run = spawnSync('unshare', ['-m', '--propagation', 'private', 'sh', '-c', lines.join('\n')], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  const replies = fs.readFileSync(path.join(top, 'replies'), 'utf8').trimEnd().split('\n').map((l) => JSON.parse(l));
  return { replies, expected: JSON.parse(fs.readFileSync(path.join(top, 'model-out'), 'utf8')) };
}

// Wine opens files in its wineserver, which outlives each run and is shared
// by every run of a prefix: without power it must be one of its own.
function capless() {
  if (!RUNNER) return [BIN];
  const script = path.join(top, 'wine-capless.sh');
  const prefix = path.join(path.dirname(RUNNER), 'wineprefix-capless');
  fs.writeFileSync(script, fs.readFileSync(RUNNER, 'utf8').replace(/^export WINEPREFIX=.*$/m, `export WINEPREFIX="${prefix}"`));
  return ['bash', script, BIN];
}

async function runPlain(calls) {
  const argv = dropPower.length ? [...dropPower, ...capless()] : undefined;
  const { replies } = await exchange(calls, { argv, timeoutMs: 600000 });
  const model = spawnSync('python3', [MODEL], { input: JSON.stringify(trees.map((t) => t.model)), encoding: 'utf8' });
  assert.equal(model.status, 0, model.stderr);
  return { replies, expected: JSON.parse(model.stdout) };
}

test(`${TREES} random trees: the server and the model agree byte for byte`, async () => {
  const calls = trees.map((t, i) => toolCall(i + 1, 'find_duplicates', t.args));
  const { replies, expected } = canMount ? runInNamespace(calls.join('\n') + '\n') : await runPlain(calls);
  assert.equal(replies.length, TREES);
  let groups = 0;
  for (let i = 0; i < TREES; i++) {
    const { text, isError } = toolText(replies[i]);
    assert.equal(isError, false, text);
    assert.equal(text.slice(0, text.indexOf(FOOTER)), expected[i], `tree ${i + 1}: ${JSON.stringify(trees[i].args)}`);
    groups += JSON.parse(expected[i]).group_count;
  }
  // The trees are worth comparing: most hold duplicates.
  assert.ok(groups > TREES, `only ${groups} groups in ${TREES} trees`);
});

test('argument intake and search directory checks, as the copy finder reports them', async () => {
  const missing = path.join(top, 'missing');
  const file = path.join(top, 'bound.dat');
  const cases = [
    [{}, 'Error: search_dirs must contain at least one directory'],
    [{ search_dirs: 'x' }, 'Error: search_dirs must contain at least one directory'],
    [{ search_dirs: [1, 2] }, 'Error: search_dirs must contain at least one directory'],
    [{ search_dirs: [native(missing)] }, 'Error: SEARCH_DIR_NOT_FOUND'],
    [{ search_dirs: [native(file)] }, 'Error: SEARCH_DIR_NOT_DIRECTORY'],
    [{ search_dirs: Array(51).fill(native(top)) }, 'Error: TOO_MANY_SEARCH_DIRS'],
  ];
  const { replies } = await exchange(cases.map(([args], i) => toolCall(i + 1, 'find_duplicates', args)));
  cases.forEach(([, want], i) => assert.deepEqual(toolText(replies[i]), { text: want, isError: true }));
});
