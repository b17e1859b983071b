// The read-only promise: every tool, with typical and edge arguments, over a
// fixture tree. Natively the server runs under strace and any system call
// that could change a file system fails the test; on both lanes a snapshot
// of the fixture (content, size, mode, mtime, ctime, atime) must not change.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { spawnSync } from 'node:child_process';
import {
  mkdtempSync, mkdirSync, writeFileSync, symlinkSync, rmSync, readFileSync, lstatSync, readdirSync, utimesSync,
  openSync, closeSync, constants, chownSync, chmodSync,
} from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BIN, ON_WINE, runServer, toolCall } from './harness.mjs';

// Builds the fixture: files of several sizes, copies, zero-byte files, empty
// folder chains, links (POSIX), and a home folder with junk in it.
function buildFixture() {
  const root = mkdtempSync(join(tmpdir(), 'corvane-readonly-'));
  const w = (rel, data) => {
    mkdirSync(join(root, rel, '..'), { recursive: true });
    writeFileSync(join(root, rel), data);
  };
  const big = Buffer.alloc(300 * 1024, 7);
  w('data/seed.bin', big);
  w('data/copies/a/seed-copy.bin', big);
  w('data/copies/b/other.bin', Buffer.concat([big.subarray(0, 150000), Buffer.from('X'), big.subarray(150001)]));
  w('data/notes.txt', 'hello\n'.repeat(1000));
  w('data/notes-copy.txt', 'hello\n'.repeat(1000));
  w('data/empty.txt', '');
  w('data/deep/a/b/c/zero.log', '');
  mkdirSync(join(root, 'data/empty-chain/x/y/z'), { recursive: true });
  mkdirSync(join(root, 'data/lonely'), { recursive: true });
  w('home/.cache/app/blob.bin', Buffer.alloc(4096, 1));
  w('home/.cache/thumbnails/normal/t.png', Buffer.alloc(512, 2));
  w('home/Documents/Thumbs.db', Buffer.alloc(100, 3));
  w('home/Downloads/.DS_Store', Buffer.alloc(64, 4));
  w('home/projects/web/node_modules/pkg/index.js', 'module.exports = 1;\n');
  w('home/projects/rust/target/debug/app', Buffer.alloc(2048, 5));
  w('home/.local/state/app/app.log', 'log line\n');
  w('tmp/leftover.tmp', Buffer.alloc(1000, 6));
  if (!ON_WINE) {
    symlinkSync(join(root, 'data/seed.bin'), join(root, 'data/link-to-seed'));
    symlinkSync(join(root, 'data'), join(root, 'data/copies/loop'));
    symlinkSync('/nonexistent/target', join(root, 'data/dangling'));
  }
  // Old times, so that an access-time update on read would show.
  const old = new Date('2020-01-02T03:04:05Z');
  for (const p of walk(root)) if (!lstatSync(p).isSymbolicLink()) utimesSync(p, old, old);
  return root;
}

function* walk(dir) {
  for (const name of readdirSync(dir)) {
    const p = join(dir, name);
    yield p;
    if (lstatSync(p).isDirectory()) yield* walk(p);
  }
}

// The snapshot must not move access times itself.
function digestWithoutTouching(path) {
  const fd = openSync(path, constants.O_RDONLY | (constants.O_NOATIME ?? 0));
  try {
    return createHash('sha256').update(readFileSync(fd)).digest('hex');
  } finally {
    closeSync(fd);
  }
}

// Under Wine every read goes through Wine's own open, which cannot ask the
// Linux kernel for O_NOATIME, so access times are compared natively only.
function snapshot(root) {
  const out = {};
  for (const p of walk(root)) {
    const s = lstatSync(p, { bigint: true });
    const content = s.isFile() ? digestWithoutTouching(p) : '';
    out[p] = [content, s.size, s.mode, s.mtimeNs, s.ctimeNs, ON_WINE ? '' : s.atimeNs].join(' ');
  }
  return out;
}

function toolCalls(root) {
  const win = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);
  const d = win(join(root, 'data'));
  const seed = win(join(root, 'data/seed.bin'));
  let id = 0;
  const calls = [
    ['list_disks', {}], ['disk_health', {}], ['scan_junk', {}], ['get_corvane_app', {}],
    ['scan_top_files', { path: d, top_n: 5 }], ['scan_top_files', { path: d, top_n: 0 }],
    ['scan_top_files', { path: win(join(root, 'missing')) }], ['scan_top_files', { path: seed }],
    ['scan_empty_files', { path: d }], ['scan_empty_files', { path: d, recursive: false, exclude_paths: [d + '/deep'] }],
    ['scan_empty_folders', { path: d }], ['scan_empty_folders', { path: d, exclude_paths: ['chain', 7] }],
    ['find_copies', { seed_path: seed, search_dirs: [d, d] }],
    ['find_copies', { seed_path: seed, search_dirs: [d], match_mode: 'similar', similarity_threshold: 0.5 }],
    ['find_copies', { seed_path: win(join(root, 'data/notes.txt')), search_dirs: [d], recursive: false }],
    ['find_copies', { seed_path: d, search_dirs: [d] }], ['find_copies', { seed_path: seed, search_dirs: 'x' }],
  ];
  return calls.map(([name, args]) => toolCall(++id, name, args)).join('\n') + '\n';
}

function fixtureEnv(root) {
  const home = join(root, 'home');
  return ON_WINE
    ? { USERPROFILE: 'Z:' + home.replaceAll('/', '\\'), LOCALAPPDATA: 'Z:' + join(home, '.cache').replaceAll('/', '\\') }
    : { HOME: home, XDG_CACHE_HOME: join(home, '.cache'), XDG_STATE_HOME: join(home, '.local/state'), TMPDIR: join(root, 'tmp') };
}

const FORBIDDEN = /^(unlink|unlinkat|rename|renameat2?|mkdir|mkdirat|rmdir|link|linkat|symlink|symlinkat|chmod|fchmod|fchmodat|chown|fchown|lchown|fchownat|truncate|ftruncate|fallocate|utime|utimes|utimensat|futimesat|setxattr|lsetxattr|fsetxattr|removexattr|lremovexattr|fremovexattr|mknod|mknodat)$/;

// Lines of `strace -f -y` that change, or could change, a file system.
function writesIn(trace) {
  const bad = [];
  for (const line of trace.split('\n')) {
    const m = line.match(/^(?:\d+\s+)?([a-z_0-9]+)\((.*)$/);
    if (!m) continue;
    const [, call, rest] = m;
    if (FORBIDDEN.test(call)) bad.push(line);
    if ((call === 'open' || call === 'openat' || call === 'openat2' || call === 'creat')) {
      const target = (rest.match(/"([^"]*)"/) || [])[1] || '';
      const writes = /O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND/.test(rest) || call === 'creat';
      if (writes && target !== '/dev/null') bad.push(line);
    }
    if (/^(write|pwrite64|writev|pwritev2?|sendfile|copy_file_range|splice)$/.test(call)) {
      const fd = rest.match(/^(\d+)<([^>]*)>/);
      // Pipes and sockets (the reply stream, a child's output) and the null device only.
      if (!fd || !(/^(pipe|socket):/.test(fd[2]) || fd[2] === '/dev/null')) bad.push(line);
    }
  }
  return bad;
}

test('no tool changes anything on disk', { timeout: 600000 }, async (t) => {
  const root = buildFixture();
  t.after(() => rmSync(root, { recursive: true, force: true }));
  const before = snapshot(root);
  const input = toolCalls(root);
  const env = fixtureEnv(root);

  const run = await runServer(input, { env, timeoutMs: 300000 });
  assert.equal(run.code, 0);
  assert.equal(run.lines.length, 17, 'one reply per call');
  assert.equal(run.stderr, '');
  assert.deepEqual(snapshot(root), before);

  if (!ON_WINE) {
    const log = join(root, '..', `corvane-strace-${process.pid}.log`);
    t.after(() => rmSync(log, { force: true }));
    // LeakSanitizer cannot run under ptrace; the untraced run above keeps it.
    const asan = [process.env.ASAN_OPTIONS, 'detect_leaks=0'].filter(Boolean).join(':');
    const traced = spawnSync('strace', ['-f', '-qq', '-y', '-s', '256', '-o', log, BIN], {
      input, env: { ...process.env, ...env, ASAN_OPTIONS: asan }, timeout: 300000, maxBuffer: 256 * 1024 * 1024,
    });
    assert.equal(traced.status, 0, traced.stderr?.toString());
    assert.equal(traced.stdout.toString().trim().split('\n').length, 17);
    assert.deepEqual(writesIn(readFileSync(log, 'utf8')), []);
    assert.deepEqual(snapshot(root), before);
  }
});

test('the audit itself sees a write when there is one', () => {
  const sample = [
    '123 openat(AT_FDCWD</x>, "/tmp/f", O_WRONLY|O_CREAT|O_TRUNC, 0666) = 5</tmp/f>',
    '123 write(5</tmp/f>, "x", 1) = 1',
    '124 unlinkat(AT_FDCWD</x>, "/tmp/f", 0) = 0',
    '123 write(4<pipe:[77]>, "{}\\n", 3) = 3',
    '123 openat(AT_FDCWD</x>, "/dev/null", O_WRONLY|O_CLOEXEC) = 3</dev/null>',
    '123 openat(AT_FDCWD</x>, "/etc/passwd", O_RDONLY|O_CLOEXEC) = 3</etc/passwd>',
  ].join('\n');
  assert.equal(writesIn(sample).length, 3);
});

// As a user who owns some folders and not others, every folder the user
// owns keeps its access time, however many folders the user does not own
// (whose access times the kernel will not let this user protect) come
// before it; with one walker, with warmers reading ahead, and with the copy
// finder's walkers.
const canDropToNobody = !ON_WINE && process.platform === 'linux' && process.getuid?.() === 0 &&
  spawnSync('setpriv', ['--reuid=65534', '--regid=65534', '--clear-groups', 'true']).status === 0;

test('folders the user owns keep their access times after folders the user does not own', { skip: !canDropToNobody }, async (t) => {
  const root = mkdtempSync(join(tmpdir(), 'corvane-atime-'));
  t.after(() => rmSync(root, { recursive: true, force: true }));
  chownSync(root, 0, 0);
  chmodSync(root, 0o755);
  // Root's folders, each holding the user's, and the user's beside them.
  const owned = [];
  for (let i = 0; i < 4; i++) {
    mkdirSync(join(root, `root${i}`, `user${i}`, 'deeper'), { recursive: true });
    mkdirSync(join(root, `mine${i}`, 'sub'), { recursive: true });
    writeFileSync(join(root, `root${i}`, `user${i}`, 'deeper', 'f.txt'), 'x');
    writeFileSync(join(root, `mine${i}`, 'sub', 'g.txt'), 'y');
    owned.push(join(root, `root${i}`, `user${i}`), join(root, `root${i}`, `user${i}`, 'deeper'),
      join(root, `mine${i}`), join(root, `mine${i}`, 'sub'));
  }
  for (const p of owned) chownSync(p, 65534, 65534);
  // relatime updates an access time older than a day, or than the last change.
  const old = new Date('2020-01-02T03:04:05Z');
  const setOld = () => { for (const p of [root, ...owned]) utimesSync(p, old, old); };
  const times = () => owned.map((p) => `${p} ${lstatSync(p, { bigint: true }).atimeNs}`);
  const seed = join(root, 'mine0', 'sub', 'g.txt');
  const input = [toolCall(1, 'scan_top_files', { path: root }),
    toolCall(2, 'find_copies', { seed_path: seed, search_dirs: [root] })].join('\n') + '\n';
  let probe = null;
  for (const warm of ['off', 'always']) {
    setOld();
    const before = times();
    if (probe === null) {
      // A file system mounted noatime cannot show the difference.
      readdirSync(join(root, 'root0'));
      probe = lstatSync(join(root, 'root0')).atimeMs !== old.getTime();
      if (!probe) return t.skip('access times do not change here');
      setOld();
    }
    const run = await runServer(input, {
      argv: ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', BIN],
      env: { CORVANE_TEST_WARM_AHEAD: warm },
    });
    assert.equal(run.code, 0, run.stderr);
    assert.equal(run.lines.length, 2);
    assert.match(run.lines[0], /g\.txt/);
    assert.deepEqual(times(), before, `warmers ${warm}`);
  }
});
