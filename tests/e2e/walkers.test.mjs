// The walking tools give the same reply, byte for byte, whatever number of
// processors the machine shows: 1, 2, 16 or 64 (a private mount namespace
// binds a file over /sys/devices/system/cpu/online, which is where the C
// library counts them). On random trees (random_tree.py), with short lists
// so that ties at a cut decide, excludes, recursion off and overlapping
// search folders. Per server, after every reply, its threads and open
// descriptors are back where they were before the call; during a slowed
// walk its descriptors never run far past the start. Linux as root only.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { spawn, spawnSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { BIN, ON_WINE, runServer, toolCall } from './harness.mjs';

const GENERATOR = fileURLToPath(new URL('./random_tree.py', import.meta.url));
// Fewer trees for a sanitizer build, which runs each call several times slower.
const SANITIZED = !ON_WINE && fs.existsSync(BIN) && fs.readFileSync(BIN).includes('__asan_init');
const SEEDS = Array.from({ length: SANITIZED ? 6 : 20 }, (_, i) => i + 1);
const PROCESSORS = [['0', 1], ['0-1', 2], ['0-15', 16], ['0-63', 64]];
// Descriptors a walk may hold open beyond what the idle server holds.
const FD_HEADROOM = 48;
const SETTLE_MS = 3000;

// Mounts the processor list and empty system folders for scan_junk (which
// would otherwise measure the machine's own /var/log), then becomes the
// server: the child's pid is the server's.
const WRAPPER = [
  'mount --bind "$1" /sys/devices/system/cpu/online || exit 97',
  'for d in /var/log /var/tmp /var/crash; do if [ -d $d ]; then mount -t tmpfs none $d || exit 98; fi; done',
  'exec "$2"',
].join('\n');
const wrapped = (online) => ['unshare', '-m', 'sh', '-c', WRAPPER, 'walkers', online, BIN];

const SHM = fs.existsSync('/dev/shm') ? '/dev/shm' : '/tmp';
let top;

// Whether a bind mount over the processor list can be had here.
function canFakeProcessors() {
  if (ON_WINE || process.platform !== 'linux' || process.getuid?.() !== 0) return false;
  const dir = fs.mkdtempSync(path.join(SHM, 'corvane-cpu-probe-'));
  try {
    fs.writeFileSync(path.join(dir, 'online'), '0-63\n');
    const probe = spawnSync('unshare', ['-m', 'sh', '-c',
      'mount --bind "$1" /sys/devices/system/cpu/online && cat /sys/devices/system/cpu/online', 'probe',
      path.join(dir, 'online')], { encoding: 'utf8' });
    return probe.status === 0 && probe.stdout === '0-63\n';
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}
const skip = !canFakeProcessors() && 'needs root and a private mount namespace to fake the processor count';

// Regular files below root, sorted by path, as [path, size].
function regularFiles(root) {
  const out = [];
  const walk = (d) => {
    // (A name that is not UTF-8 cannot be given back as a seed path.)
    for (const name of fs.readdirSync(d).sort().filter((n) => !n.includes('\ufffd'))) {
      const p = path.join(d, name);
      const st = fs.lstatSync(p);
      if (st.isDirectory()) walk(p);
      else if (st.isFile() && st.size > 0) out.push([p, st.size]);
    }
  };
  walk(root);
  return out;
}

function callsFor(root, seed) {
  const files = regularFiles(root);
  // A seed whose size others share, so that it has candidates.
  const counts = new Map();
  for (const [, size] of files) counts.set(size, (counts.get(size) ?? 0) + 1);
  const shared = files.filter(([, size]) => counts.get(size) > 1);
  const pool = shared.length ? shared : files;
  const seedFile = pool[(seed * 7919) % pool.length][0];
  const sub = path.join(root, 'Projects');
  const dirs = [root, sub];
  return [
    ['scan_top_files', { path: root, top_n: 3 }],
    ['scan_top_files', { path: root, top_n: 1 }],
    ['scan_top_files', { path: root }],
    ['scan_top_files', { path: root, top_n: 200 }],
    ['scan_top_files', { path: sub, top_n: 5 }],
    ['scan_empty_files', { path: root }],
    ['scan_empty_files', { path: root, recursive: false }],
    ['scan_empty_files', { path: root, exclude_paths: ['node_modules', sub, '.TMP'] }],
    ['scan_empty_folders', { path: root }],
    ['scan_empty_folders', { path: root, recursive: false }],
    ['scan_empty_folders', { path: root, exclude_paths: ['.cache', sub + '/'] }],
    ['scan_folder_sizes', { path: root, depth: 8, top_n: 3 }],
    ['scan_folder_sizes', { path: root, depth: 1, top_n: 1 }],
    ['scan_folder_sizes', { path: root }],
    ['scan_folder_sizes', { path: root, depth: 4, top_n: 100, exclude_paths: ['node_modules', path.join(root, '.cache')] }],
    ['find_copies', { seed_path: seedFile, search_dirs: [root] }],
    ['find_copies', { seed_path: seedFile, search_dirs: [sub, root, sub], recursive: false }],
    ['find_copies', { seed_path: seedFile, search_dirs: dirs, match_mode: 'similar', similarity_threshold: 0.5 }],
    ['find_duplicates', { search_dirs: [root] }],
    ['find_duplicates', { search_dirs: [sub, root], exclude_paths: ['.tmp', 'node_modules'], min_size: 4096 }],
    ['find_duplicates', { search_dirs: dirs, recursive: false, min_size: 0 }],
  ];
}

const junkEnv = (root) => ({
  HOME: root, XDG_CACHE_HOME: path.join(root, '.cache'), XDG_STATE_HOME: path.join(root, '.local/state'),
  TMPDIR: path.join(root, 'tmp'), CORVANE_TEST_WARM_AHEAD: 'off',
});

// The server's threads and descriptors, as text to compare.
function resources(pid) {
  const fds = fs.readdirSync(`/proc/${pid}/fd`).map(Number).sort((a, b) => a - b);
  return { threads: fs.readdirSync(`/proc/${pid}/task`).length, fds: fds.join(',') };
}

function describeFds(pid, list) {
  return list.split(',').map((fd) => {
    try {
      return `${fd}->${fs.readlinkSync(`/proc/${pid}/fd/${fd}`)}`;
    } catch {
      return `${fd}->(gone)`;
    }
  }).join(' ');
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A server kept running: send one line, get the next reply line as sent.
function serve(online, env) {
  const child = spawn(wrapped(online)[0], wrapped(online).slice(1),
    { env: { ...process.env, CORVANE_TEST_WARM_AHEAD: 'off', ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
  const lines = [];
  let partial = '';
  let stderr = '';
  let wake = () => {};
  child.stdout.on('data', (d) => {
    const parts = (partial + d).split('\n');
    partial = parts.pop();
    lines.push(...parts);
    wake();
  });
  child.stderr.on('data', (d) => { stderr += d; });
  child.stdin.on('error', () => {});
  const exited = new Promise((resolve) => child.on('close', (code) => resolve(code)));
  let taken = 0;
  const next = async (ms = 60000) => {
    const deadline = Date.now() + ms;
    while (lines.length <= taken) {
      if (Date.now() > deadline) throw new Error(`no reply within ${ms} ms; stderr: ${stderr}`);
      await new Promise((r) => { wake = r; setTimeout(r, 50); });
    }
    return lines[taken++];
  };
  return { child, pid: child.pid, send: (text) => child.stdin.write(text + '\n'), next, end: () => child.stdin.end(), exited,
    stderr: () => stderr };
}

// Waits until the server's threads and descriptors are `want` again.
// (`threads` false: the descriptors only.)
async function settled(pid, want, label, { threads = true } = {}) {
  const deadline = Date.now() + SETTLE_MS;
  let now = resources(pid);
  while (((threads && now.threads !== want.threads) || now.fds !== want.fds) && Date.now() < deadline) {
    await sleep(5);
    now = resources(pid);
  }
  if (threads) assert.equal(now.threads, want.threads, `${label}: threads after the reply`);
  assert.equal(now.fds, want.fds, `${label}: descriptors after the reply: ${describeFds(pid, now.fds)}`);
}

// Runs `body` with a server at `online`; a failure ends the server too.
async function withServer(online, env, body) {
  const server = serve(online, env);
  try {
    // The blocking pool starts a thread when every one it has is busy, and
    // keeps it: the warm-up calls bring it to what these calls need.
    server.send(JSON.stringify({ jsonrpc: '2.0', id: 0, method: 'tools/list' }));
    await server.next();
    const out = await body(server);
    server.end();
    assert.equal(await server.exited, 0, server.stderr());
    return out;
  } finally {
    server.child.kill('SIGKILL');
  }
}

// Runs every call in one server at `online`, after `warmUp` (replies
// dropped); returns the reply lines.
function runAll(online, warmUp, calls) {
  return withServer(online, {}, async (server) => {
    for (let i = 0; i < warmUp.length; i++) {
      server.send(toolCall(-1 - i, ...warmUp[i]));
      await server.next();
    }
    const out = [];
    out.idleThreads = resources(server.pid).threads;
    for (let i = 0; i < calls.length; i++) {
      const [name, args] = calls[i];
      const label = `${online}, call ${i + 1} ${name} ${JSON.stringify(args)}`;
      const start = resources(server.pid);
      server.send(toolCall(i + 1, name, args));
      out.push(await server.next());
      await settled(server.pid, start, label);
    }
    return out;
  });
}

// The first difference between two reply lines, briefly.
function firstDifference(a, b) {
  let i = 0;
  while (i < a.length && a[i] === b[i]) i++;
  return `at byte ${i}: ${JSON.stringify(a.slice(Math.max(0, i - 80), i + 80))} vs ${JSON.stringify(b.slice(Math.max(0, i - 80), i + 80))}`;
}

function assertSame(replies, calls, what) {
  const [first, ...rest] = replies;
  for (const [online, lines] of rest) {
    assert.equal(lines.length, first[1].length);
    lines.forEach((line, i) => {
      if (line !== first[1][i]) {
        assert.fail(`${what}: ${calls[i][0]} ${JSON.stringify(calls[i][1])} differs between ${first[0]} and ${online} ` +
          firstDifference(first[1][i], line));
      }
    });
  }
}

before(() => {
  if (skip) return;
  top = fs.realpathSync(fs.mkdtempSync(path.join(SHM, 'corvane-walkers-')));
  fs.chmodSync(top, 0o755);
  for (const [online] of PROCESSORS) fs.writeFileSync(path.join(top, `online-${online}`), online + '\n');
  for (const seed of SEEDS) {
    const made = spawnSync('python3', [GENERATOR, path.join(top, `t${seed}`), String(seed)], { encoding: 'utf8' });
    assert.equal(made.status, 0, made.stderr);
  }
});

after(() => {
  if (top) fs.rmSync(top, { recursive: true, force: true });
});

const onlineFile = (online) => path.join(top, `online-${online}`);

test('every walking tool answers the same at 1, 2, 16 and 64 processors, and leaves no thread or descriptor behind',
  { skip, timeout: 600000 }, async () => {
    const calls = SEEDS.flatMap((seed) => callsFor(path.join(top, `t${seed}`), seed));
    const replies = [];
    const warmUp = callsFor(path.join(top, `t${SEEDS[0]}`), SEEDS[0]);
    for (const [online, n] of PROCESSORS) replies.push([n, await runAll(onlineFile(online), warmUp, calls)]);
    assertSame(replies, calls, 'reply');
    // The processor count reached the server: its pools are sized by it.
    const threads = replies.map(([, lines]) => lines.idleThreads);
    assert.ok(threads[threads.length - 1] >= threads[0] + 63, `idle threads at 1 to 64 processors: ${threads}`);
    // The comparison means something: the replies are answers, with content.
    const answers = replies[0][1].map((l) => JSON.parse(l).result);
    assert.ok(answers.every((r) => r && r.isError === false), 'no call failed');
    const topThree = answers.filter((_, i) => calls[i][0] === 'scan_top_files' && calls[i][1].top_n === 3);
    assert.ok(topThree.every((r) => (r.content[0].text.match(/"path":/g) ?? []).length === 3));
  });

test('scan_junk answers the same at 1, 2, 16 and 64 processors', { skip, timeout: 300000 }, async () => {
  const replies = [];
  for (const [online, n] of PROCESSORS) {
    const lines = [];
    for (const seed of SEEDS) {
      const run = await runServer(toolCall(1, 'scan_junk') + '\n',
        { env: junkEnv(path.join(top, `t${seed}`)), argv: wrapped(onlineFile(online)) });
      assert.equal(run.code, 0, run.stderr);
      lines.push(run.lines[0]);
    }
    replies.push([n, lines]);
  }
  assertSame(replies, SEEDS.map((seed) => ['scan_junk', { home: `t${seed}` }]), 'scan_junk');
  for (const line of replies[0][1]) {
    const { text } = JSON.parse(line).result.content[0];
    for (const id of ['system_temp', 'os_metadata', 'app_cache', 'dev_artifacts']) assert.ok(text.includes(`"${id}"`), id);
  }
});

// Runs `calls` at 200 us an entry, sampling the descriptors every few ms.
function slowedRun(online, calls) {
  return withServer(online, { CORVANE_TEST_ENTRY_PAUSE_US: '200' }, async (server) => {
    const lines = [];
    for (let i = 0; i < calls.length; i++) {
      const label = `${online}, slowed ${calls[i][0]}`;
      const idle = resources(server.pid);
      const baseline = idle.fds.split(',').length;
      let most = baseline;
      let samples = 0;
      const sampler = setInterval(() => {
        try {
          most = Math.max(most, fs.readdirSync(`/proc/${server.pid}/fd`).length);
          samples++;
        } catch { /* the server is gone: the reply check fails */ }
      }, 3);
      server.send(toolCall(i + 1, ...calls[i]));
      try {
        lines.push(await server.next(120000));
      } finally {
        clearInterval(sampler);
      }
      assert.ok(samples >= 20, `${label}: only ${samples} samples; the walk was not slowed`);
      assert.ok(most <= baseline + FD_HEADROOM, `${label}: ${most} descriptors open, idle ${baseline}`);
      // (These calls are the first of their kind: the blocking pool may grow.)
      await settled(server.pid, idle, label, { threads: false });
    }
    return lines;
  });
}

test(`a slowed walk never holds more than ${FD_HEADROOM} descriptors beyond the idle server's`,
  { skip, timeout: 300000 }, async () => {
    // The tree of most files.
    const sized = SEEDS.map((seed) => [seed, regularFiles(path.join(top, `t${seed}`)).length]).sort((a, b) => b[1] - a[1]);
    const root = path.join(top, `t${sized[0][0]}`);
    const calls = [
      ['scan_folder_sizes', { path: root, depth: 8 }],
      ['find_duplicates', { search_dirs: [root, path.join(root, 'Projects')] }],
    ];
    const replies = [];
    for (const [online, n] of PROCESSORS) replies.push([n, await slowedRun(onlineFile(online), calls)]);
    assertSame(replies, calls, 'slowed reply');
  });
