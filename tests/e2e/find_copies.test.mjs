// End-to-end: find_copies through the real server, every argument and
// validation failure as the client sees it, and the payload of a real search.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { exchange, toolCall, toolText, ON_WINE } from './harness.mjs';

// Under Wine the server sees the Unix tree through drive Z:.
const native = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);
const FOOTER = '\n\n---\n';

let root;
let seed;
let dirA;
let before_stats;

before(() => {
  root = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-copies-')));
  dirA = path.join(root, 'a');
  fs.mkdirSync(path.join(dirA, 'sub'), { recursive: true });
  seed = path.join(dirA, 'seed.txt');
  fs.writeFileSync(seed, 'the seed content\n');
  fs.writeFileSync(path.join(dirA, 'copy.TXT'), 'the seed content\n');
  fs.writeFileSync(path.join(dirA, 'sub', 'deep.txt'), 'the seed content\n');
  fs.writeFileSync(path.join(dirA, 'other.txt'), 'the seed contenT\n');
  fs.writeFileSync(path.join(dirA, 'copy.md'), 'the seed content\n');
  fs.writeFileSync(path.join(root, 'plain-file'), 'x');
  before_stats = snapshot();
});

after(() => {
  assert.deepEqual(snapshot(), before_stats, 'nothing under the fixture changed');
  fs.rmSync(root, { recursive: true, force: true });
});

function snapshot() {
  const out = {};
  const walk = (dir) => {
    for (const name of fs.readdirSync(dir).sort()) {
      const p = path.join(dir, name);
      const st = fs.lstatSync(p);
      out[p] = [st.size, st.mtimeMs, st.isDirectory() ? '' : fs.readFileSync(p, 'latin1')];
      if (st.isDirectory()) walk(p);
    }
  };
  walk(root);
  return out;
}

async function calls(argsList) {
  const { replies } = await exchange(argsList.map((args, i) => toolCall(i + 1, 'find_copies', args)));
  return replies.map(toolText);
}

function payload({ text, isError }) {
  assert.equal(isError, false, text);
  const at = text.indexOf(FOOTER);
  assert.ok(at > 0, 'payload ends with the footer');
  return JSON.parse(text.slice(0, at));
}

test('argument and validation failures, in their order, with their exact texts', async () => {
  const missing = native(path.join(root, 'missing.txt'));
  const many = (n) => Array.from({ length: n }, () => native(dirA));
  const cases = [
    [{}, 'missing required string argument: seed_path'],
    [{ seed_path: 7, search_dirs: [native(dirA)] }, 'missing required string argument: seed_path'],
    [{ seed_path: native(seed), search_dirs: native(dirA) }, 'search_dirs must contain at least one directory'],
    [{ seed_path: native(seed), search_dirs: [1, 2, null] }, 'search_dirs must contain at least one directory'],
    [{ seed_path: native(seed) }, 'search_dirs must contain at least one directory'],
    [{ seed_path: native(seed), search_dirs: [native(dirA)], match_mode: 'Exact' },
      'invalid arguments: unknown variant `Exact`, expected `exact` or `similar`'],
    [{ seed_path: missing, search_dirs: many(51) }, 'SEED_FILE_NOT_FOUND'],
    [{ seed_path: native(seed), search_dirs: many(51) }, 'TOO_MANY_SEARCH_DIRS'],
    [{ seed_path: native(dirA), search_dirs: [native(dirA)] }, 'SEED_FILE_NOT_REGULAR'],
    [{ seed_path: native(seed), search_dirs: [native(dirA), native(path.join(root, 'nope'))] }, 'SEARCH_DIR_NOT_FOUND'],
    [{ seed_path: native(seed), search_dirs: [native(path.join(root, 'plain-file'))] }, 'SEARCH_DIR_NOT_DIRECTORY'],
    // Text holding U+0000 names nothing, though the text before it exists.
    [{ seed_path: native(seed) + '\u0000.txt', search_dirs: [native(dirA)] }, 'SEED_FILE_NOT_FOUND'],
    [{ seed_path: native(seed), search_dirs: [native(dirA) + '\u0000'] }, 'SEARCH_DIR_NOT_FOUND'],
    [{ seed_path: native(seed), search_dirs: [native(dirA), native(root) + '\u0000' + native(dirA)] },
      'SEARCH_DIR_NOT_FOUND'],
    [{ seed_path: native(seed), search_dirs: [native(dirA)], match_mode: 'similar' }, 'INVALID_SIMILARITY_THRESHOLD'],
    ...[-0.1, 1.5, 'x', null].map((t) => [
      { seed_path: native(seed), search_dirs: [native(dirA)], match_mode: 'similar', similarity_threshold: t },
      'INVALID_SIMILARITY_THRESHOLD']),
  ];
  const replies = await calls(cases.map(([args]) => args));
  replies.forEach((reply, i) => assert.deepEqual(reply, { text: 'Error: ' + cases[i][1], isError: true }, JSON.stringify(cases[i][0])));
});

test('exact mode: copies sorted by path after the seed row; the seed never matches itself', async () => {
  const [result] = await calls([{ seed_path: native(seed), search_dirs: [native(dirA)], similarity_threshold: 7 }]);
  const body = payload(result);
  assert.equal(body.seed_path, native(seed));
  assert.deepEqual(Object.keys(body.entries[0]), ['match_type', 'modified', 'path', 'size']);
  assert.deepEqual(body.entries.map((e) => [e.match_type, e.path, e.size]), [
    ['seed', native(seed), 17],
    ['identical', native(path.join(dirA, 'copy.TXT')), 17],
    ['identical', native(path.join(dirA, 'sub', 'deep.txt')), 17],
  ]);
  assert.equal(body.entries[1].modified, Math.floor(fs.statSync(path.join(dirA, 'copy.TXT')).mtimeMs / 1000));
  assert.ok(result.text.includes('\n  "entries": [\n    {\n      "match_type": "seed",'), 'pretty, sorted keys');
});

test('50 directories are accepted and a directory given twice yields each copy twice; recursive false', async () => {
  const [fifty, flat] = await calls([
    { seed_path: native(seed), search_dirs: Array.from({ length: 50 }, () => native(dirA)) },
    { seed_path: native(seed), search_dirs: [native(dirA), native(dirA)], recursive: false },
  ]);
  assert.equal(payload(fifty).entries.length, 1 + 50 * 2);
  assert.deepEqual(payload(flat).entries.map((e) => e.path), [
    native(seed), native(path.join(dirA, 'copy.TXT')), native(path.join(dirA, 'copy.TXT')),
  ]);
});

test('similar mode: thresholds 0 and 1 are accepted, similarities rounded and ordered', async () => {
  const args = (t) => ({ seed_path: native(seed), search_dirs: [native(dirA)], match_mode: 'similar', similarity_threshold: t });
  const [one, zero] = await calls([args(1), args(0)]);
  const exactly = payload(one).entries;
  assert.deepEqual(exactly.slice(1).map((e) => [e.match_type, e.similarity]), [['similar', 1], ['similar', 1]]);
  const all = payload(zero).entries;
  assert.equal(all.length, 4, 'every readable .txt candidate is kept at 0');
  assert.equal(all[3].path, native(path.join(dirA, 'other.txt')));
  assert.equal(all[3].similarity, 0.8438, '10 of 64 bits differ: 0.84375, rounded');
  assert.deepEqual(Object.keys(all[1]), ['match_type', 'modified', 'path', 'similarity', 'size']);
});
