// The server at the system's limits: too few processes allowed for its
// user, too little address space. Whatever cannot be done for a call is
// that call's error; the server never crashes, writes nothing to stderr
// but its start-up failure line, and answers every request once, in order.
// Linux only: the limits are set with prlimit.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { BIN, ON_WINE, request, runServer, toolCall } from './harness.mjs';

const linux = !ON_WINE && process.platform === 'linux' && spawnSync('prlimit', ['--version']).status === 0;
const asRoot = linux && process.getuid() === 0;
const NOBODY = ['--reuid=65534', '--regid=65534', '--clear-groups'];
const START_FAILURE = '[corvane-mcp] failed to start runtime: ';
const CORES = os.availableParallelism();
// AddressSanitizer reserves its shadow memory at start: under an
// address-space limit such a build cannot even start.
const sanitized = linux && fs.readFileSync(BIN).includes('__asan_init');
// LeakSanitizer needs a thread of its own at exit, which a process limit
// refuses.
const noLeakCheck = { ASAN_OPTIONS: [process.env.ASAN_OPTIONS, 'detect_leaks=0'].filter(Boolean).join(':') };

// A small tree and home, so that every tool has something to do quickly.
function world() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-limits-'));
  fs.chmodSync(root, 0o755);
  fs.mkdirSync(path.join(root, 'tree/a/b'), { recursive: true });
  fs.mkdirSync(path.join(root, 'home/.cache/thumbnails'), { recursive: true });
  fs.writeFileSync(path.join(root, 'tree/a/seed.txt'), 'the same words, twice over\n');
  fs.writeFileSync(path.join(root, 'tree/a/b/copy.txt'), 'the same words, twice over\n');
  fs.writeFileSync(path.join(root, 'tree/empty'), '');
  fs.writeFileSync(path.join(root, 'home/.cache/thumbnails/t.png'), 'png');
  const env = { HOME: path.join(root, 'home'), XDG_CACHE_HOME: path.join(root, 'home/.cache'), TMPDIR: root };
  return { root, env };
}

// Every tool, then a ping.
function calls(root) {
  const tree = path.join(root, 'tree');
  const seed = path.join(tree, 'a/seed.txt');
  return [
    toolCall(1, 'list_disks'),
    toolCall(2, 'disk_health'),
    toolCall(3, 'scan_junk'),
    toolCall(4, 'scan_top_files', { path: tree }),
    toolCall(5, 'scan_empty_files', { path: tree }),
    toolCall(6, 'scan_empty_folders', { path: tree }),
    toolCall(7, 'find_copies', { seed_path: seed, search_dirs: [tree] }),
    toolCall(8, 'find_copies', { seed_path: seed, search_dirs: [tree], match_mode: 'similar', similarity_threshold: 0.5 }),
    toolCall(9, 'get_corvane_app'),
    request(10, 'ping'),
  ];
}

const run = (argv, input, env) => runServer(input, { argv, env, timeoutMs: 60000 });

// Checks one run: either the start-up failure alone, or one reply per
// request with every failure a task error. Returns the replies (null for a
// start-up failure).
function check(ran, count, label) {
  if (ran.code === 1 && ran.lines.length === 0) {
    assert.ok(ran.stderr.startsWith(START_FAILURE), `${label}: ${ran.stderr}`);
    assert.equal(ran.stderr.indexOf('\n'), ran.stderr.length - 1, `${label}: one line on stderr`);
    return null;
  }
  assert.equal(ran.stderr, '', `${label}: stderr`);
  assert.equal(ran.code, 0, `${label}: exit`);
  const replies = ran.lines.map((line) => JSON.parse(line));
  assert.deepEqual(replies.map((r) => r.id), Array.from({ length: count }, (_, i) => i + 1), `${label}: replies`);
  for (const reply of replies.slice(0, count - 1)) {
    const { text } = reply.result.content[0];
    if (reply.result.isError) assert.match(text, /^Error: (TASK_ERROR: .+|TASK_JOIN_FAILED)$/, `${label}: ${text}`);
  }
  return replies;
}

const failures = (replies) => replies.filter((r) => r.result?.isError).length;

test('with too few threads allowed, a call that cannot start gets its error and the server serves on', { skip: !asRoot }, async () => {
  const { root, env } = world();
  try {
    const input = calls(root).join('\n') + '\n';
    let refused = 0;
    let last = null;
    for (let nproc = 1; nproc <= CORES + 8; nproc++) {
      const ran = await run(['prlimit', `--nproc=${nproc}`, 'setpriv', ...NOBODY, BIN], input, { ...env, ...noLeakCheck });
      last = check(ran, 10, `nproc ${nproc}`);
      if (last) refused += failures(last);
    }
    assert.ok(refused > 0, 'no limit made a call fail: the sweep missed the case');
    assert.equal(failures(last), 0, 'with threads to spare every call succeeds');
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});

test('under an address-space limit nothing aborts: each call succeeds or gets its error', { skip: !linux || sanitized }, async () => {
  const { root, env } = world();
  try {
    const input = calls(root).join('\n') + '\n';
    // Steps of a megabyte (at most a hundred of them): some failures only
    // show in a narrow band of limits.
    const low = 16 << 20;
    const high = (64 + 16 * CORES) << 20;
    const steps = Math.min(100, (high - low) >> 20);
    let failed = 0;
    let last = null;
    for (let step = 0; step <= steps; step++) {
      const limit = Math.round(low + ((high - low) * step) / steps);
      const ran = await run(['prlimit', `--as=${limit}`, BIN], input, env);
      last = check(ran, 10, `${limit} bytes`);
      if (last) failed += failures(last);
    }
    assert.ok(failed > 0, 'no limit made a call fail: the sweep missed the case');
    assert.equal(failures(last), 0, 'with room to spare every call succeeds');
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});

test('a request line too long for the address space ends the input quietly', { skip: !linux || sanitized }, async () => {
  const limit = (160 + 16 * CORES) << 20;
  const huge = '{"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":"' + 'y'.repeat(limit) + '"}}';
  const ran = await run(['prlimit', `--as=${limit}`, BIN], huge + '\n' + request(2, 'ping') + '\n', {});
  if (ran.code === 1 && ran.lines.length === 0) {
    assert.ok(ran.stderr.startsWith(START_FAILURE), ran.stderr);
    return;
  }
  assert.equal(ran.stderr, '');
  assert.equal(ran.code, 0);
  assert.ok(ran.lines.length === 0 || ran.lines[0] === '{"id":2,"jsonrpc":"2.0","result":{}}', ran.lines[0]);
});
