// Hostile trees: link loops, very deep and very wide folders, odd names,
// special files, a huge sparse file, a tree changing under the scan and
// entries the server may not read. Every tool must exit cleanly, answer
// each request exactly once, and either be right about the tree or give
// its defined error. POSIX lane only: Wine cannot show most of these.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { spawn, spawnSync } from 'node:child_process';
import { BIN, ON_WINE, runServer, toolCall } from './harness.mjs';

const skip = ON_WINE || process.platform === 'win32';
const FOOTER_START = '\n\n---\nThis is a read-only scan from the Corvane MCP server.';
const SHM = fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir();
const asRoot = !skip && process.getuid() === 0;
const NOBODY = ['--reuid=65534', '--regid=65534', '--clear-groups'];

// A fresh folder that every user may enter; removed by the caller's finally.
function scratch(tag) {
  const root = fs.mkdtempSync(path.join(SHM, `corvane-hostile-${tag}-`));
  fs.chmodSync(root, 0o755);
  return root;
}

// rm copes with trees far deeper than PATH_MAX. Tests that take
// permissions away restore them first (chmod -R over a deep chain is slow).
function removeTree(root, { restore = false } = {}) {
  if (restore) spawnSync('chmod', ['-R', 'u+rwx', root]);
  spawnSync('rm', ['-rf', root]);
}

// Runs one server for all `calls` ([name, args] pairs) and returns, per
// call, { payload } or { error }. Checks the exit code, one reply per
// request in order, and that stdout is valid UTF-8 whatever the names.
async function callAll(calls, { timeoutMs = 30000, asNobody = false, env } = {}) {
  const input = calls.map(([name, args], i) => toolCall(i + 1, name, args)).join('\n') + '\n';
  const run = asNobody ? await runPrefixed(['setpriv', ...NOBODY, BIN], input, timeoutMs)
                       : await runServer(input, { timeoutMs, env });
  assert.equal(run.code, 0, 'server exits 0');
  assert.equal(run.stderr, '', 'nothing on stderr');
  const text = new TextDecoder('utf-8', { fatal: true }).decode(run.stdout);
  const lines = text.replace(/\n$/, '').split('\n');
  assert.equal(lines.length, calls.length, 'one reply line per request');
  return lines.map((line, i) => {
    const reply = JSON.parse(line);
    assert.equal(reply.id, i + 1);
    assert.equal(reply.error, undefined);
    const body = reply.result.content[0].text;
    if (reply.result.isError) return { error: body };
    const at = body.indexOf(FOOTER_START);
    assert.ok(at > 0, 'payload ends with the footer');
    return { payload: JSON.parse(body.slice(0, at)) };
  });
}

function runPrefixed([cmd, ...args], input, timeoutMs, { env, cwd } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(cmd, args, { stdio: ['pipe', 'pipe', 'pipe'], cwd, env: { ...process.env, ...env } });
    const out = [];
    let err = '';
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error(`server hung past ${timeoutMs} ms`)); }, timeoutMs);
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => { err += d; });
    child.on('error', reject);
    child.on('close', (code) => { clearTimeout(timer); resolve({ code, stdout: Buffer.concat(out), stderr: err }); });
    child.stdin.on('error', () => {});
    child.stdin.end(input);
  });
}

const scans = (root) => [
  ['scan_top_files', { path: root, top_n: 200 }],
  ['scan_empty_files', { path: root }],
  ['scan_empty_folders', { path: root }],
];

// Runs a Node script with `cwd` as its working folder; used to build deep
// chains by relative names, which no absolute path could reach.
function nodeIn(cwd, script) {
  const r = spawnSync(process.execPath, ['-e', script], { cwd, encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
}

const sizes = (files) => files.map((f) => [f.name, f.size]);
// scan_junk with the temporary folder at `tmp` and an empty home; its items
// below `tmp` as [path relative to tmp, size].
const junkEnv = (tmp, home) => ({ TMPDIR: tmp, HOME: home, XDG_CACHE_HOME: home + '/.cache', XDG_STATE_HOME: home + '/.state' });
const tempItems = (payload, tmp) => payload.categories.filter((c) => c.id === 'system_temp')
  .flatMap((c) => c.paths.filter((p) => p.path.startsWith(tmp + '/')).map((p) => [path.relative(tmp, p.path), p.size]));
const copiesOf = (seed, dirs, extra = {}) => ['find_copies', { seed_path: seed, search_dirs: dirs, ...extra }];
// The rows after the seed row, as [match_type, path].
const matches = (payload) => {
  assert.equal(payload.entries[0].match_type, 'seed');
  return payload.entries.slice(1).map((e) => [e.match_type, e.path]);
};

test('link loops, a link to an ancestor and links out of the tree are never followed', { skip }, async () => {
  const root = scratch('links');
  const outside = scratch('outside');
  try {
    fs.writeFileSync(path.join(outside, 'target.bin'), Buffer.alloc(5000, 1));
    fs.mkdirSync(path.join(outside, 'emptydir'));
    fs.mkdirSync(path.join(root, 'a/b/c'), { recursive: true });
    fs.writeFileSync(path.join(root, 'a/b/c/real.txt'), 'x'.repeat(10));
    fs.writeFileSync(path.join(root, 'a/zero'), '');
    fs.symlinkSync('loop2', path.join(root, 'loop1'));
    fs.symlinkSync('loop1', path.join(root, 'loop2'));
    fs.symlinkSync('self', path.join(root, 'self'));
    fs.symlinkSync('../../..', path.join(root, 'a/b/c/up'));  // to the root itself
    fs.symlinkSync(root, path.join(root, 'a/b/abs-root'));
    fs.mkdirSync(path.join(root, 'only-links'));
    fs.symlinkSync(path.join(outside, 'target.bin'), path.join(root, 'only-links/file-link'));
    fs.symlinkSync(path.join(outside, 'emptydir'), path.join(root, 'only-links/dir-link'));
    fs.symlinkSync('/nonexistent/x', path.join(root, 'only-links/dangling'));
    fs.mkdirSync(path.join(root, 'empty'));
    const loopRoot = path.join(root, 'a/b/c/up');  // a root that is itself a link
    const seed = path.join(outside, 'target.bin');
    const r = await callAll([...scans(root), ...scans(loopRoot), ...scans(path.join(root, 'loop1')),
      copiesOf(seed, [root]), copiesOf(path.join(root, 'a/b/c/real.txt'), [loopRoot]),
      copiesOf(path.join(root, 'loop1'), [root]), copiesOf(seed, [path.join(root, 'self')])]);
    assert.deepEqual(sizes(r[0].payload), [['real.txt', 10]]);
    assert.deepEqual(r[1].payload.files.map((f) => f.path), [path.join(root, 'a/zero')]);
    assert.deepEqual(r[2].payload.dirs.map((d) => [d.path, d.recursive_empty]), [[path.join(root, 'empty'), false]]);
    // Through a link root the same tree appears under the link's own name.
    assert.deepEqual(r[3].payload.map((f) => f.path), [path.join(loopRoot, 'a/b/c/real.txt')]);
    assert.equal(r[4].payload.total_count, 1);
    assert.equal(r[5].payload.total_count, 1);
    assert.equal(r[6].error, `Error: PATH_NOT_FOUND: ${path.join(root, 'loop1')}`);
    assert.equal(r[7].error, `Error: PATH_NOT_FOUND: ${path.join(root, 'loop1')}`);
    assert.equal(r[8].error, `Error: PATH_NOT_FOUND: ${path.join(root, 'loop1')}`);
    // The link to the seed's own file and every loop are passed over.
    assert.deepEqual(matches(r[9].payload), []);
    // A search root reached through a link is resolved, and walked once.
    assert.deepEqual(matches(r[10].payload), []);
    // A loop is not "not found": canonicalising fails otherwise.
    assert.equal(r[11].error, 'Error: SEED_FILE_CANONICALIZATION_FAILED');
    assert.equal(r[12].error, 'Error: SEARCH_DIR_NOT_FOUND');
  } finally {
    removeTree(root);
    removeTree(outside);
  }
});

test('a chain 100,000 folders deep is walked to the bottom without a stack overflow', { skip }, async (t) => {
  const root = scratch('deep');
  const seeds = scratch('deep-seed');
  try {
    // 100,000 levels of "d"; half way down a side chain of empty folders.
    nodeIn(root, `
      const fs = require('fs');
      for (let i = 0; i < 100000; i++) {
        fs.mkdirSync('d');
        process.chdir('d');
        if (i === 49999) fs.mkdirSync('e/e/e', { recursive: true });
      }
      fs.writeFileSync('leaf.bin', 'abc');
      fs.writeFileSync('zero', '');
    `);
    fs.writeFileSync(path.join(seeds, 'seed.bin'), 'abc');
    const r = await callAll([...scans(root), ['scan_junk'],
      copiesOf(path.join(seeds, 'seed.bin'), [root])], { timeoutMs: 240000, env: junkEnv(root, seeds) });
    // Only twelve levels below an item are measured.
    assert.deepEqual(tempItems(r[3].payload, root), [['d', 0]]);
    r.splice(3, 1);
    const bottom = root + '/d'.repeat(100000);
    assert.deepEqual(r[0].payload.map((f) => [f.path, f.size]), [[bottom + '/leaf.bin', 3]]);
    assert.deepEqual(r[1].payload.files.map((f) => f.path), [bottom + '/zero']);
    assert.deepEqual(r[2].payload.dirs.map((d) => [d.path, d.name, d.recursive_empty]),
      [[root + '/d'.repeat(50000) + '/e', 'e', true]]);
    assert.ok(r[3].payload, r[3].error);
    // Far beyond PATH_MAX: reached one component at a time.
    await t.test('find_copies finds the copy at the bottom', () => {
      assert.deepEqual(matches(r[3].payload), [['identical', bottom + '/leaf.bin']]);
    });
  } finally {
    removeTree(seeds);
    removeTree(root);
  }
});

test('a folder of 200,000 entries gives exact counts', { skip }, async () => {
  const root = scratch('wide');
  try {
    // Every fourth entry an empty file, every fourth an empty folder, the
    // rest files of 1 to 1,000 bytes (exactly 200 of them have 1,000).
    nodeIn(root, `
      const fs = require('fs');
      fs.mkdirSync('w'); process.chdir('w');
      const buf = Buffer.alloc(1000, 7);
      for (let i = 0; i < 200000; i++) {
        if (i % 4 === 0) fs.closeSync(fs.openSync('z' + i, 'w'));
        else if (i % 4 === 1) fs.mkdirSync('e' + i);
        else fs.writeFileSync('f' + i, buf.subarray(0, 1 + (i % 1000)));
      }
    `);
    const home = scratch('wide-home');
    const r = await callAll([...scans(root), ['scan_junk'],
      copiesOf(path.join(root, 'w/f999'), [root])], { timeoutMs: 60000, env: junkEnv(root, home) });
    removeTree(home);
    let bytes = 0;
    for (let i = 0; i < 200000; i++) if (i % 4 > 1) bytes += 1 + (i % 1000);
    assert.deepEqual(tempItems(r[3].payload, root), [['w', bytes]]);
    r.splice(3, 1);
    assert.equal(r[0].payload.length, 200);
    assert.ok(r[0].payload.every((f) => f.size === 1000 && /^f\d*999$/.test(f.name)));
    assert.equal(new Set(r[0].payload.map((f) => f.name)).size, 200);
    // 50,000 records pass the reply budget: the counts stay exact, the lists are cut.
    assert.equal(r[1].payload.total_count, 50000);
    assert.equal(r[1].payload.files.length + r[1].payload.omitted_count, 50000);
    assert.equal(new Set(r[1].payload.files.map((f) => f.name)).size, r[1].payload.files.length);
    assert.ok(r[1].payload.files.every((f) => /^z\d+$/.test(f.name) && Number(f.name.slice(1)) % 4 === 0));
    assert.equal(r[2].payload.total_count, 50000);
    assert.equal(r[2].payload.dirs.length + r[2].payload.omitted_count, 50000);
    assert.ok(r[2].payload.dirs.every((d) => /^e\d+$/.test(d.name) && d.recursive_empty === false));
    const found = matches(r[3].payload);
    assert.equal(found.length, 199);
    assert.ok(found.every(([type, p]) => type === 'identical' && /\/f\d*999$/.test(p)));
  } finally {
    removeTree(root);
  }
});

test('names with newlines, control characters, invalid UTF-8 and 255 bytes are reported lossily', { skip }, async () => {
  const root = scratch('names');
  const seeds = scratch('names-seed');
  try {
    const seed = (name, size) => { fs.writeFileSync(path.join(seeds, name), Buffer.alloc(size)); return path.join(seeds, name); };
    const copySeeds = [seed('eleven.txt', 11), seed('twelve.log', 12), seed('thirteen.dat', 13), seed('x.bin', 14),
      seed('seventeen', 17)];
    const at = (...parts) => Buffer.concat([Buffer.from(root + '/'), ...parts.map((p) => (Buffer.isBuffer(p) ? p : Buffer.from(p)))]);
    const long = 'L'.repeat(251) + '.Bin';
    const wide = 'é'.repeat(127) + 'x';  // 255 bytes of UTF-8
    fs.writeFileSync(at('new\nline.txt'), Buffer.alloc(11));
    fs.writeFileSync(at('ctl\x01\x1b\x7f\t.LOG'), Buffer.alloc(12));
    fs.writeFileSync(at('bad', Buffer.from([0xff, 0xfe, 0xc0]), '.dat'), Buffer.alloc(13));
    fs.writeFileSync(at(long), Buffer.alloc(14));
    fs.writeFileSync(at(wide), Buffer.alloc(15));
    fs.writeFileSync(at('a'.repeat(254), Buffer.from([0xe2])), Buffer.alloc(16));  // cut mid-character
    fs.mkdirSync(at('dir', Buffer.from([0x80])));
    fs.writeFileSync(at('dir', Buffer.from([0x80]), '/inner'), Buffer.alloc(17));
    fs.writeFileSync(at('dir', Buffer.from([0x80]), '/\n'), '');
    fs.mkdirSync(at('\r\n\x02', Buffer.from([0xf0, 0x9f])));
    const r = await callAll([...scans(root), ...copySeeds.map((p) => copiesOf(p, [root]))]);
    const top = r[0].payload;
    assert.equal(top.length, 7);
    const byName = Object.fromEntries(top.map((f) => [f.size, f]));
    assert.equal(byName[11].name, 'new\nline.txt');
    assert.equal(byName[11].path, root + '/new\nline.txt');
    assert.equal(byName[12].name, 'ctl\x01\x1b\x7f\t.LOG');
    assert.equal(byName[12].extension, 'log');
    assert.match(byName[13].name, /^bad\uFFFD+\.dat$/);
    assert.equal(byName[13].extension, 'dat');
    assert.equal(byName[14].name, long);
    assert.equal(byName[14].extension, 'bin');
    assert.equal(byName[15].name, wide);
    assert.match(byName[16].name, /^a{254}\uFFFD$/);
    assert.match(byName[17].path, new RegExp(`^${root}/dir\\uFFFD/inner$`));
    assert.deepEqual(r[1].payload.files.map((f) => f.name), ['\n']);
    assert.match(r[1].payload.files[0].path, /dir\uFFFD\/\n$/);
    assert.equal(r[2].payload.total_count, 1);
    assert.match(r[2].payload.dirs[0].name, /^\r\n\x02\uFFFD+$/);
    assert.deepEqual(matches(r[3].payload), [['identical', root + '/new\nline.txt']]);
    assert.deepEqual(matches(r[4].payload), [['identical', root + '/ctl\x01\x1b\x7f\t.LOG']]);
    assert.deepEqual(matches(r[6].payload), [['identical', root + '/' + long]]);
    // A name that is not valid UTF-8 has no extension key; a copy inside a
    // folder so named is opened by its bytes and shown lossily.
    assert.deepEqual(matches(r[5].payload), []);
    assert.deepEqual(matches(r[7].payload), [['identical', root + '/dir\uFFFD/inner']]);
  } finally {
    removeTree(seeds);
    removeTree(root);
  }
});

test('the copy finder tells apart names that show as the same U+FFFD text', { skip }, async () => {
  const root = scratch('collide');
  try {
    const at = (...parts) => Buffer.concat([Buffer.from(root + '/'), ...parts.map((p) => (Buffer.isBuffer(p) ? p : Buffer.from(p)))]);
    const put = (name, content, seconds) => {
      fs.writeFileSync(name, content);
      fs.utimesSync(name, seconds, seconds);
    };
    const bad = Buffer.from([0xfe]);
    fs.writeFileSync(at('seed'), 'same content');
    for (const d of ['s', 't']) fs.mkdirSync(at(d));
    // In s the copy is the file really named c\uFFFD; in t it is c\xFE.
    put(at('s/c', bad), 'othr content', 1000);
    put(at('s/c\uFFFD'), 'same content', 2000);
    put(at('t/c', bad), 'same content', 3000);
    put(at('t/c\uFFFD'), 'othr content', 4000);
    const r = await callAll([copiesOf(at('seed').toString(), [path.join(root, 's')]),
      copiesOf(at('seed').toString(), [path.join(root, 't')])]);
    const rows = (payload) => payload.entries.slice(1).map((e) => [e.match_type, e.path, e.size, e.modified]);
    assert.deepEqual(rows(r[0].payload), [['identical', root + '/s/c\uFFFD', 12, 2000]]);
    assert.deepEqual(rows(r[1].payload), [['identical', root + '/t/c\uFFFD', 12, 3000]]);
  } finally {
    removeTree(root);
  }
});

test('FIFOs, sockets and device nodes are never reported; a 3 TiB sparse file is the largest', { skip }, async () => {
  const root = scratch('special');
  const listener = net.createServer();
  try {
    fs.mkdirSync(path.join(root, 'only-fifo'));
    fs.mkdirSync(path.join(root, 'only-sock'));
    fs.mkdirSync(path.join(root, 'only-dev'));
    fs.mkdirSync(path.join(root, 'empty'));
    assert.equal(spawnSync('mkfifo', [path.join(root, 'pipe'), path.join(root, 'only-fifo/pipe')]).status, 0);
    await new Promise((resolve, reject) => listener.once('error', reject).listen(path.join(root, 'only-sock/sock'), resolve));
    // mknod needs CAP_MKNOD; without it the device cases hold trivially.
    const dev = asRoot && spawnSync('mknod', [path.join(root, 'only-dev/null'), 'c', '1', '3']).status === 0;
    if (dev) spawnSync('mknod', [path.join(root, 'null'), 'c', '1', '3']);
    const huge = path.join(root, 'huge.img');
    fs.writeFileSync(huge, '');
    fs.truncateSync(huge, 3 * 2 ** 40);
    fs.writeFileSync(path.join(root, 'small'), 'hello');
    fs.writeFileSync(path.join(root, 'zero'), '');
    const at = (rel) => path.join(root, rel);
    const r = await callAll([...scans(root), ...scans(at('pipe')), ['scan_top_files', { path: at('only-sock/sock') }],
      copiesOf(at('zero'), [root]),  // every special file has size 0 too
      copiesOf(at('small'), [root], { match_mode: 'similar', similarity_threshold: 0 }),
      copiesOf(at('pipe'), [root]),
      copiesOf(at('only-sock/sock'), [root]),
      copiesOf(huge, [root]),
      copiesOf(at('small'), [at('pipe')]),
      copiesOf(at('small'), [at('only-sock/sock')]),
    ], { timeoutMs: 30000 });
    assert.deepEqual(sizes(r[0].payload), [['huge.img', 3298534883328], ['small', 5]]);
    assert.deepEqual(r[1].payload.files.map((f) => f.name), ['zero']);
    // A folder holding only a special file is not empty.
    assert.deepEqual(r[2].payload.dirs.map((d) => d.name), ['empty']);
    // A FIFO as the root is listed as nothing and never opened for reading.
    assert.deepEqual(r[3].payload, []);
    assert.equal(r[4].error, `Error: PATH_NOT_DIRECTORY: ${path.join(root, 'pipe')}`);
    assert.equal(r[5].error, `Error: PATH_NOT_DIRECTORY: ${path.join(root, 'pipe')}`);
    assert.deepEqual(r[6].payload, []);
    assert.deepEqual(matches(r[7].payload), []);
    const similar = matches(r[8].payload).map(([, p]) => path.relative(root, p)).sort();
    assert.deepEqual(similar.filter((p) => !['huge.img', 'zero'].includes(p)), []);
    assert.equal(r[9].error, 'Error: SEED_FILE_NOT_REGULAR');
    assert.equal(r[10].error, 'Error: SEED_FILE_NOT_REGULAR');
    assert.equal(r[11].error, 'Error: SEED_FILE_TOO_LARGE');
    assert.equal(r[12].error, 'Error: SEARCH_DIR_NOT_DIRECTORY');
    assert.equal(r[13].error, 'Error: SEARCH_DIR_NOT_DIRECTORY');
  } finally {
    await new Promise((resolve) => listener.close(resolve));
    removeTree(root);
  }
});

test('scan_junk holds sizes and totals of huge sparse files at 2^64 - 1 instead of wrapping', { skip }, async (t) => {
  const root = scratch('sums');
  try {
    const tmp = path.join(root, 'tmp');
    const home = path.join(root, 'home');
    fs.mkdirSync(path.join(tmp, 'folder'), { recursive: true });
    fs.mkdirSync(home);
    // 2^63 - 1 bytes each, the most a file may claim; ext4 refuses them, tmpfs does not.
    const most = '9223372036854775807';
    const made = ['a', 'b', 'folder/c', 'folder/d'].every((f) => spawnSync('truncate', ['-s', most, path.join(tmp, f)]).status === 0);
    if (!made) return t.skip('this file system does not hold files of 2^63 - 1 bytes');
    fs.writeFileSync(path.join(tmp, 'folder/e'), Buffer.alloc(10));
    const run = await runServer(toolCall(1, 'scan_junk') + '\n', { env: junkEnv(tmp, home), timeoutMs: 60000 });
    assert.equal(run.code, 0);
    const body = JSON.parse(run.lines[0]).result.content[0].text;
    // Sizes past 2^53 as their exact digits.
    const payload = JSON.parse(body.slice(0, body.indexOf(FOOTER_START)).replace(/: (\d{16,})(?=,?\n)/g, ': "$1"'));
    const max = '18446744073709551615';
    const temp = payload.categories.find((c) => c.id === 'system_temp');
    assert.equal(temp.total_size, max);
    assert.equal(payload.total_size, max);
    const mine = temp.paths.filter((p) => p.path.startsWith(tmp + '/')).map((p) => [path.relative(tmp, p.path), p.size]);
    assert.deepEqual(mine[0], ['folder', max]);
    assert.deepEqual(mine.slice(1).sort(), [['a', most], ['b', most]]);  // equal sizes: listing order
  } finally {
    removeTree(root);
  }
});

test('a tree changing under the scans never crashes, hangs or mixes up replies', { skip }, async () => {
  const root = scratch('mutate');
  const seedDir = scratch('mutate-seed');
  let mutator;
  try {
    for (let i = 0; i < 200; i++) {
      fs.mkdirSync(path.join(root, `d${i % 20}`), { recursive: true });
      fs.writeFileSync(path.join(root, `d${i % 20}`, `f${i}`), Buffer.alloc(i));
    }
    // Deletes, replaces (rename over), grows, truncates and re-creates
    // files and folders in a loop, for a bounded time.
    mutator = spawn(process.execPath, ['-e', `
      const fs = require('fs'), p = require('path');
      const root = ${JSON.stringify(root)};
      const end = Date.now() + 4000;
      let n = 0;
      while (Date.now() < end) {
        const d = p.join(root, 'd' + (n % 20)), f = p.join(d, 'f' + (n % 200));
        try {
          switch (n % 6) {
            case 0: fs.rmSync(f, { force: true }); break;
            case 1: fs.writeFileSync(f + '.tmp', Buffer.alloc(n % 5000)); fs.renameSync(f + '.tmp', f); break;
            case 2: fs.appendFileSync(f, Buffer.alloc(4096)); break;
            case 3: fs.truncateSync(f, 0); break;
            case 4: fs.rmSync(d, { recursive: true, force: true }); fs.mkdirSync(p.join(d, 'x/y'), { recursive: true }); break;
            case 5: fs.writeFileSync(f, ''); break;
          }
        } catch {}
        n++;
      }
    `], { stdio: 'ignore' });
    fs.writeFileSync(path.join(seedDir, 'seed'), Buffer.alloc(4096));
    const calls = [...scans(root), ['scan_junk'], copiesOf(path.join(seedDir, 'seed'), [root]),
      copiesOf(path.join(seedDir, 'seed'), [root], { match_mode: 'similar', similarity_threshold: 0.5 })];
    // Rounds of every tool until the mutator is done, so that they overlap.
    let rounds = 0;
    const running = () => mutator.exitCode === null && mutator.signalCode === null;
    while (running() || rounds === 0) {
      const r = await callAll(calls, { timeoutMs: 30000, env: junkEnv(root, seedDir) });
      rounds++;
      for (const [i, one] of r.entries()) {
        assert.equal(one.error, undefined, `call ${i + 1} failed: ${one.error}`);
        const p = one.payload;
        if (Array.isArray(p)) assert.ok(p.every((f) => f.size > 0 && f.path.startsWith(root + '/')));
        else if (p.entries) assert.ok(matches(p).every(([, f]) => f.startsWith(root + '/')));
        else if (p.categories) assert.equal(p.total_size, p.categories.reduce((n, c) => n + c.total_size, 0));
        else assert.equal(p.total_count, (p.files ?? p.dirs).length);
      }
    }
    assert.ok(rounds >= 2, 'the scans ran while the tree changed');
  } finally {
    if (mutator && mutator.exitCode === null) {
      await new Promise((resolve) => { mutator.on('exit', resolve); setTimeout(() => mutator.kill('SIGKILL'), 8000); });
    }
    removeTree(seedDir);
    removeTree(root);
  }
});

test('as an unprivileged user, what cannot be read is skipped and the rest is right', { skip: !asRoot }, async () => {
  const root = scratch('perm');
  try {
    const put = (rel, size) => {
      fs.mkdirSync(path.dirname(path.join(root, rel)), { recursive: true });
      fs.writeFileSync(path.join(root, rel), Buffer.alloc(size, 1));
    };
    put('open/a', 7);
    put('open/zero', 0);
    put('secret', 70);
    put('open/locked-copy', 7);
    fs.chmodSync(path.join(root, 'open/locked-copy'), 0);
    for (const d of ['noperm', 'noexec', 'nolist']) {
      put(`${d}/big`, 9000);
      put(`${d}/zero`, 0);
      fs.mkdirSync(path.join(root, d, 'empty'));
    }
    fs.mkdirSync(path.join(root, 'locked-empty'));
    fs.mkdirSync(path.join(root, 'emptyok'));
    fs.chmodSync(path.join(root, 'secret'), 0);
    fs.chmodSync(path.join(root, 'noperm'), 0);
    fs.chmodSync(path.join(root, 'noexec'), 0o644);  // names readable, entries not
    fs.chmodSync(path.join(root, 'nolist'), 0o111);  // enterable, not listable
    fs.chmodSync(path.join(root, 'locked-empty'), 0);
    const noperm = path.join(root, 'noperm');
    const r = await callAll([...scans(root), ...scans(noperm), ['scan_empty_files', { path: path.join(noperm, 'big') }],
      ['scan_top_files', { path: path.join(root, 'nolist/big') }],
      copiesOf(path.join(root, 'open/a'), [root]), copiesOf(path.join(root, 'secret'), [root]),
      copiesOf(path.join(root, 'open/a'), [noperm]), copiesOf(path.join(noperm, 'big'), [root])],
    { asNobody: true });
    // The unreadable file still has a size: listing needs no read access.
    assert.deepEqual(sizes(r[0].payload).sort(), [['a', 7], ['locked-copy', 7], ['secret', 70]]);
    assert.deepEqual(r[1].payload.files.map((f) => f.path), [path.join(root, 'open/zero')]);
    // Folders that cannot be listed are not empty.
    assert.deepEqual(r[2].payload.dirs.map((d) => d.name), ['emptyok']);
    assert.deepEqual(r[3].payload, []);
    assert.deepEqual(r[4].payload, { files: [], total_count: 0 });
    assert.deepEqual(r[5].payload, { dirs: [], total_count: 0 });
    assert.equal(r[6].error, `Error: PATH_NOT_FOUND: ${path.join(noperm, 'big')}`);
    // Reachable by name though its folder cannot be listed: a file root gives nothing.
    assert.deepEqual(r[7].payload, []);
    // The unreadable copy cannot be compared and is left out.
    assert.deepEqual(matches(r[8].payload), []);
    assert.equal(r[9].error, 'Error: SEED_FILE_READ_FAILED');
    assert.deepEqual(matches(r[10].payload), []);
    assert.equal(r[11].error, 'Error: SEED_FILE_CANONICALIZATION_FAILED');  // EACCES, not ENOENT
  } finally {
    removeTree(root, { restore: true });
  }
});

test('scan_junk over a hostile home counts neither links nor special files', { skip }, async () => {
  const root = scratch('junk');
  const listener = net.createServer();
  try {
    const at = (rel) => path.join(root, rel);
    for (const d of ['home/.cache/loops', 'home/.cache/specials', 'home/.cache/sparse', 'home/.cache/locked',
      'home/Documents', 'tmp', 'out']) fs.mkdirSync(at(d), { recursive: true });
    fs.writeFileSync(at('out/big'), Buffer.alloc(5000));
    fs.writeFileSync(at('home/.cache/loops/real'), Buffer.alloc(10));
    fs.symlinkSync('self', at('home/.cache/loops/self'));
    fs.symlinkSync('../..', at('home/.cache/loops/up'));
    fs.symlinkSync(at('out/big'), at('home/.cache/loops/big'));
    fs.writeFileSync(at('home/.cache/specials/f'), Buffer.alloc(3));
    spawnSync('mkfifo', [at('home/.cache/specials/fifo'), at('home/Documents/Thumbs.db'), at('tmp/x.tmp')]);
    if (asRoot) spawnSync('mknod', [at('home/.cache/specials/null'), 'c', '1', '3']);
    await new Promise((resolve, reject) => listener.once('error', reject).listen(at('home/.cache/specials/sock'), resolve));
    fs.writeFileSync(at('home/.cache/sparse/huge.img'), '');
    fs.truncateSync(at('home/.cache/sparse/huge.img'), 3 * 2 ** 40);
    const bad = Buffer.concat([Buffer.from(at('home/.cache/bad')), Buffer.from([0xff])]);
    fs.mkdirSync(bad);
    fs.writeFileSync(Buffer.concat([bad, Buffer.from('/f')]), Buffer.alloc(7));
    fs.writeFileSync(at('home/.cache/locked/f'), Buffer.alloc(9));
    fs.chmodSync(at('home/.cache/locked'), 0o700);  // root's own: nobody cannot enter
    fs.symlinkSync(at('out/big'), at('home/Documents/.DS_Store'));
    fs.symlinkSync(at('out'), at('tmp/outlink'));
    const env = { HOME: at('home'), XDG_CACHE_HOME: at('home/.cache'), XDG_STATE_HOME: at('home/.local/state'),
      TMPDIR: at('tmp') };
    const input = toolCall(1, 'scan_junk') + '\n';
    const runs = [await runServer(input, { env, timeoutMs: 60000 })];
    if (asRoot) runs.push(await runPrefixed(['env', ...Object.entries(env).map(([k, v]) => `${k}=${v}`), 'setpriv', ...NOBODY, BIN], input, 60000));
    const mine = runs.map((run) => {
      assert.equal(run.code, 0);
      const lines = run.stdout.toString().trim().split('\n');
      assert.equal(lines.length, 1);
      const body = JSON.parse(lines[0]).result.content[0].text;
      const payload = JSON.parse(body.slice(0, body.indexOf(FOOTER_START)));
      return payload.categories.flatMap((c) => c.paths.filter((p) => p.path.startsWith(root + '/'))
        .map((p) => [c.id, path.relative(root, p.path), p.size])).sort();
    });
    assert.deepEqual(mine[0], [
      ['app_cache', 'home/.cache/bad\uFFFD', 7],
      ['app_cache', 'home/.cache/locked', 9],
      ['app_cache', 'home/.cache/loops', 10],
      ['app_cache', 'home/.cache/sparse', 3298534883328],
      ['app_cache', 'home/.cache/specials', 3],
    ]);
    // As nobody the locked folder is still an item, but measures nothing.
    if (asRoot) assert.deepEqual(mine[1], mine[0].map(([c, p, n]) => [c, p, p === 'home/.cache/locked' ? 0 : n]));
  } finally {
    await new Promise((resolve) => listener.close(resolve));
    removeTree(root);
  }
});

// The smartctl child of disk_health: never taken from the current folder
// or a relative search-path entry, and never handed the server's stdin.
const SYSTEM_SMARTCTL = ['/usr/sbin', '/sbin', '/usr/bin', '/bin', '/usr/local/sbin'].map((d) => path.join(d, 'smartctl'));
const DISKS = skip || process.platform !== 'linux' ? [] : fs.readdirSync('/sys/block')
  .filter((name) => !/^(loop|ram|zram|dm-|md|nbd|sr|fd)/.test(name))
  .filter((name) => Number(fs.readFileSync(`/sys/block/${name}/size`, 'utf8')) > 0);
const standIns = !skip && DISKS.length > 0 && !SYSTEM_SMARTCTL.some((p) => fs.existsSync(p));

test('disk_health runs smartctl without trusting the current folder or sharing stdin', { skip: !standIns }, async () => {
  const cwd = scratch('cwd');
  const bin = scratch('bin');
  try {
    const script = (marker) => `#!/bin/sh\necho "$*" >> ${marker}\n`;
    fs.writeFileSync(path.join(cwd, 'smartctl'), script(path.join(cwd, 'ran')), { mode: 0o755 });
    fs.mkdirSync(path.join(cwd, 'rel'));
    fs.writeFileSync(path.join(cwd, 'rel/smartctl'), script(path.join(cwd, 'ran')), { mode: 0o755 });
    const calls = [toolCall(1, 'disk_health'), JSON.stringify({ jsonrpc: '2.0', id: 2, method: 'ping' })];
    const input = calls.join('\n') + '\n';
    const untrusted = await runPrefixed([BIN], input, 60000, { cwd, env: { PATH: `.::rel:${bin}` } });
    assert.equal(untrusted.code, 0);
    assert.ok(!fs.existsSync(path.join(cwd, 'ran')), 'a smartctl from the current folder ran');
    const lines = untrusted.stdout.toString().trim().split('\n').map((l) => JSON.parse(l));
    assert.deepEqual(lines.map((l) => l.id), [1, 2]);
    const body = lines[0].result.content[0].text;
    const payload = JSON.parse(body.slice(0, body.indexOf(FOOTER_START)));
    assert.ok(payload.every((d) => d.error === 'HEALTH_SMARTCTL_UNAVAILABLE'));

    // A stand-in that reads its stdin must meet end of input at once, and
    // the request line after the call must still reach the server.
    fs.writeFileSync(path.join(bin, 'smartctl'),
      `#!/bin/sh\n/usr/bin/timeout 5 /bin/cat > ${bin}/stdin.$$\necho $? > ${bin}/rc.$$\necho '{}'\nexit 0\n`, { mode: 0o755 });
    const started = Date.now();
    const shared = await runPrefixed([BIN], input, 60000, { cwd, env: { PATH: bin } });
    assert.ok(Date.now() - started < 4000, 'the stand-in waited for input');
    assert.equal(shared.code, 0);
    assert.deepEqual(shared.stdout.toString().trim().split('\n').map((l) => JSON.parse(l).id), [1, 2]);
    const seen = fs.readdirSync(bin).filter((n) => n.startsWith('stdin.'));
    assert.equal(seen.length, DISKS.length);
    for (const n of seen) {
      assert.equal(fs.readFileSync(path.join(bin, n), 'utf8'), '');
      assert.equal(fs.readFileSync(path.join(bin, n.replace('stdin', 'rc')), 'utf8').trim(), '0');
    }
  } finally {
    removeTree(cwd);
    removeTree(bin);
  }
});
