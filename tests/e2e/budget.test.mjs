// End-to-end: replies held to 1,000,000 bytes on trees whose whole listing
// would be many times larger, checked against uncut scans of their parts.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { BIN, ON_WINE, exchange, toolCall } from './harness.mjs';

const BUDGET = 1_000_000;
const FOOTER_START = '\n\n---\nThis is a read-only scan from the Corvane MCP server.';
const serverPath = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);
const root = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-e2e-budget-')));
fs.chmodSync(root, 0o755);
after(() => fs.rmSync(root, { recursive: true, force: true }));

const LONG = 'a-rather-long-file-name-so-that-every-record-weighs-its-share-of-the-reply';
const touch = (p, content = '') => fs.writeFileSync(p, content);

// Folders of zero-byte files: under Wine just enough to pass the budget.
const FOLDERS = ON_WINE ? 6 : 60;
const PER_FOLDER = ON_WINE ? 700 : 1000;
const emptyFiles = path.join(root, 'empty-files');
for (let f = 0; f < FOLDERS; f++) {
  const dir = path.join(emptyFiles, `folder-${String(f).padStart(2, '0')}`);
  fs.mkdirSync(dir, { recursive: true });
  for (let i = 0; i < PER_FOLDER; i++) touch(path.join(dir, `${LONG}-${i}.log`));
}

function payloadOf(reply) {
  assert.equal(reply.result.isError, false, reply.result.content[0].text);
  const text = reply.result.content[0].text;
  const cut = text.indexOf(FOOTER_START);
  assert.ok(cut > 0, 'the payload text ends with the footer');
  return JSON.parse(text.slice(0, cut));
}

function checkLines(lines) {
  for (const line of lines) assert.ok(Buffer.byteLength(line) <= BUDGET, `a reply line of ${Buffer.byteLength(line)} bytes`);
}

// The folder a listed record lies in, relative to the scan root.
const folderOf = (p) => p.split(/[\\/]/).at(-2);

// Records of a cut scan of `base` are those of the uncut scans of its
// folders, one folder after another, the last one possibly cut short.
async function checkAgainstFolderScans(tool, base, key, cut) {
  const order = [...new Set(cut[key].map((r) => folderOf(r.path)))];
  const { replies, lines } = await exchange(order.map((name, i) => toolCall(i + 1, tool, { path: serverPath(path.join(base, name)) })));
  checkLines(lines);
  const whole = replies.flatMap((reply) => {
    const payload = payloadOf(reply);
    assert.equal(payload.truncated, undefined, 'each folder alone fits');
    return payload[key];
  });
  assert.ok(cut[key].length > whole.length - payloadOf(replies.at(-1))[key].length, 'only the last folder is cut short');
  assert.deepEqual(cut[key], whole.slice(0, cut[key].length));
  if (!ON_WINE) {
    // The folders in the order the walk lists them.
    const listing = fs.opendirSync(base);
    const names = [];
    for (let e; (e = listing.readSync()) !== null;) names.push(e.name);
    listing.closeSync();
    assert.deepEqual(order, names.slice(0, order.length));
  }
}

test('scan_empty_files of a tree too large for one reply lists the first records and counts them all', async () => {
  const { replies, lines } = await exchange([
    toolCall(1, 'scan_empty_files', { path: serverPath(emptyFiles) }),
    toolCall(2, 'scan_empty_files', { path: serverPath(emptyFiles), recursive: false }),
  ]);
  checkLines(lines);
  assert.ok(Buffer.byteLength(lines[0]) > BUDGET * 0.95, 'the budget is used, not wasted');
  const cut = payloadOf(replies[0]);
  assert.deepEqual(Object.keys(cut), ['files', 'omitted_count', 'total_count', 'truncated']);
  assert.equal(cut.truncated, true);
  assert.equal(cut.total_count, FOLDERS * PER_FOLDER);
  assert.ok(cut.files.length > 0);
  assert.equal(cut.omitted_count, cut.total_count - cut.files.length);
  // A reply that fits is the plain shape.
  assert.deepEqual(payloadOf(replies[1]), { files: [], total_count: 0 });
  await checkAgainstFolderScans('scan_empty_files', emptyFiles, 'files', cut);
});

test('scan_empty_folders cuts its dirs the same way', { skip: ON_WINE && 'one cut reply is enough under Wine' }, async () => {
  const base = path.join(root, 'empty-folders');
  for (let f = 0; f < 8; f++) {
    for (let i = 0; i < 700; i++) fs.mkdirSync(path.join(base, `folder-${f}`, `${LONG}-${i}`), { recursive: true });
    touch(path.join(base, `folder-${f}`, 'keep'));  // else the folder itself is the one empty record
  }
  const { replies, lines } = await exchange([toolCall(1, 'scan_empty_folders', { path: base })]);
  checkLines(lines);
  const cut = payloadOf(replies[0]);
  assert.deepEqual(Object.keys(cut), ['dirs', 'omitted_count', 'total_count', 'truncated']);
  assert.equal(cut.total_count, 8 * 700);
  assert.equal(cut.omitted_count, cut.total_count - cut.dirs.length);
  await checkAgainstFolderScans('scan_empty_folders', base, 'dirs', cut);
});

test('find_copies keeps the seed row and the first copies in path order', { skip: ON_WINE && 'one cut reply is enough under Wine' }, async () => {
  const dir = path.join(root, 'copies');
  fs.mkdirSync(dir);
  const seed = path.join(root, 'seed.txt');
  touch(seed, 'the same few bytes');
  const copies = [];
  for (let i = 0; i < 10000; i++) {
    const p = path.join(dir, `${LONG}-${i}.txt`);
    touch(p, 'the same few bytes');
    copies.push(p);
  }
  touch(path.join(dir, 'other.txt'), 'different bytes');
  const { replies, lines } = await exchange([toolCall(1, 'find_copies', { seed_path: seed, search_dirs: [dir] })]);
  checkLines(lines);
  const cut = payloadOf(replies[0]);
  assert.deepEqual(Object.keys(cut), ['entries', 'omitted_count', 'seed_path', 'truncated']);
  assert.deepEqual(cut.entries[0], { match_type: 'seed', modified: cut.entries[0].modified, path: seed, size: 18 });
  const listed = cut.entries.slice(1);
  assert.ok(listed.length > 1000);
  assert.equal(cut.omitted_count, copies.length - listed.length);
  const sorted = copies.sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)));
  assert.deepEqual(listed.map((e) => e.path), sorted.slice(0, listed.length));
  assert.ok(listed.every((e) => e.match_type === 'identical' && e.size === 18));
});

// scan_junk reads its folders from the environment.
function junkRun(vars) {
  return new Promise((resolve, reject) => {
    const child = spawn(BIN, [], { env: { ...process.env, ...vars }, stdio: ['pipe', 'pipe', 'ignore'] });
    const chunks = [];
    child.stdout.on('data', (d) => chunks.push(d));
    child.on('error', reject);
    child.on('close', () => resolve(Buffer.concat(chunks).toString('utf8').trim().split('\n')));
    child.stdin.end(toolCall(1, 'scan_junk') + '\n');
  });
}

test('scan_junk: a crowded temporary folder is cut, every category keeps its place and true totals', { skip: ON_WINE && 'one cut reply is enough under Wine' }, async () => {
  const home = path.join(root, 'home');
  const temp = path.join(root, 'tmp');
  fs.mkdirSync(temp);
  let tempTotal = 0;
  for (let i = 0; i < 20000; i++) {
    touch(path.join(temp, `${LONG}-${i}.tmp`), 'x'.repeat(i % 37));
    tempTotal += i % 37;
  }
  touch(path.join(temp, 'crash.dmp'), 'x'.repeat(40));
  const small = { package_cache: 'home/.npm/_cacache/blob', thumbnails: 'home/.cache/thumbnails/t.png' };
  for (const rel of Object.values(small)) {
    fs.mkdirSync(path.dirname(path.join(root, rel)), { recursive: true });
    touch(path.join(root, rel), 'abc');
  }
  const lines = await junkRun({ HOME: home, XDG_CACHE_HOME: path.join(home, '.cache'),
    XDG_STATE_HOME: path.join(home, '.local/state'), TMPDIR: temp });
  checkLines(lines);
  const payload = payloadOf(JSON.parse(lines[0]));
  const cats = Object.fromEntries(payload.categories.map((c) => [c.id, c]));
  assert.equal(payload.total_size, payload.categories.reduce((s, c) => s + c.total_size, 0));

  const tempCat = cats.system_temp;
  assert.equal(tempCat.truncated, true);
  assert.equal(tempCat.omitted_count, tempCat.item_count - tempCat.paths.length);
  const ours = tempCat.paths.filter((p) => p.path.startsWith(temp + '/'));
  assert.ok(tempCat.item_count >= 20001 && tempCat.total_size >= tempTotal + 40);
  assert.ok(ours.length > 100, 'the big category still gets most of the room');
  // The listed items are the largest: none left out is larger.
  const listed = new Set(ours.map((p) => p.path));
  let largestLeftOut = 0;
  for (let i = 0; i < 20000; i++) {
    if (!listed.has(path.join(temp, `${LONG}-${i}.tmp`))) largestLeftOut = Math.max(largestLeftOut, i % 37);
  }
  assert.ok(Math.min(...ours.map((p) => p.size)) >= largestLeftOut);
  for (let i = 1; i < tempCat.paths.length; i++) assert.ok(tempCat.paths[i - 1].size >= tempCat.paths[i].size);

  // The small categories are whole, with no markers.
  assert.ok(cats.crash_dumps.paths.some((p) => p.path === path.join(temp, 'crash.dmp')));
  for (const [id, rel] of Object.entries(small)) {
    const c = cats[id];
    assert.equal(c.truncated, undefined, id);
    assert.equal(c.item_count, c.paths.length, id);
    assert.ok(c.paths.some((p) => p.path.startsWith(path.join(root, path.dirname(rel)))), id);
  }
});

test('errors that echo an oversized name or path are cut to the budget, at a character boundary', async () => {
  const name = 'é'.repeat(700_000);  // 1.4 MB of two-byte characters
  const { replies, lines } = await exchange([
    toolCall(1, name, {}),
    toolCall(2, 'scan_top_files', { path: '/' + 'x'.repeat(1_200_000) }),
    toolCall(3, 'scan_top_files', { path: '/no-such-folder-here' }),
  ]);
  checkLines(lines);
  const texts = replies.map((reply) => {
    assert.equal(reply.result.isError, true);
    return reply.result.content[0].text;
  });
  assert.ok(texts[0].startsWith('Error: Unknown tool: éé') && texts[0].endsWith('é…'), texts[0].slice(-8));
  assert.ok(texts[1].startsWith('Error: PATH_NOT_FOUND: /xxx') && texts[1].endsWith('x…'));
  assert.ok(Buffer.byteLength(lines[0]) > BUDGET - 16 && Buffer.byteLength(lines[1]) > BUDGET - 16, 'cut no shorter than needed');
  assert.equal(texts[2], 'Error: PATH_NOT_FOUND: /no-such-folder-here');
});
