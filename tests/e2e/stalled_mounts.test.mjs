// Mounts that stop answering, in a private mount namespace: below the path
// of every walking tool, inside an excluded folder, as a bind-mounted file,
// below the folders scan_junk measures, and as the scan root itself. Every
// call must answer promptly, and its answer must be the one it gives with a
// healthy mount in the same places (which holds files of its own, so a walk
// that entered or counted a mount would show it).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { BIN, ON_WINE, runServer, toolCall } from './harness.mjs';

const FUSE = process.env.CORVANE_STALLING_FUSE;
const canMount = !ON_WINE && process.platform === 'linux' && process.getuid?.() === 0 && !!FUSE &&
  fs.existsSync('/dev/fuse') && spawnSync('unshare', ['-m', 'true']).status === 0;

// Longer than any prompt run; a run that waits on a mount is freed by the
// watchdog killing the daemons then, and fails on its time.
const WATCHDOG_S = 15;
const PROMPT_MS = 6000;

const STALLS = ['getattr', 'lookup', 'opendir', 'readdir', 'statfs', 'all', 'never-read'];
// The scan root itself is the mount: only the stalls that leave its listing
// working (a root whose listing never answers is the message loop's case).
const ROOT_STALLS = new Set(['getattr', 'lookup', 'statfs']);

const seedBytes = Buffer.from(Array.from({ length: 6000 }, (_, i) => (i * 7919) % 251));
const near = Buffer.from(seedBytes);
near[3000] ^= 0xff;

function buildTree() {
  const top = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-stalls-')));
  const t = (rel) => path.join(top, 'tree', rel);
  const put = (rel, data) => {
    fs.mkdirSync(path.dirname(t(rel)), { recursive: true });
    fs.writeFileSync(t(rel), data);
  };
  put('scan/a/big.bin', Buffer.alloc(5000, 1));
  put('scan/a/zero.txt', '');
  put('scan/a/seed.dat', seedBytes);
  put('scan/b/copy.dat', seedBytes);
  put('scan/b/near.dat', near);
  put('scan/skipme/zero2.txt', '');
  put('scan/skipme/deep/zero3.txt', '');
  put('scan/file.dat', '');  // covered by a file mount
  for (const d of ['scan/c/empty', 'scan/c/chain/x/y', 'scan/sub/mnt', 'scan/skipme/mnt', 'rootmnt',
    'home/.cache/app/mnt', 'home/Projects/web/node_modules/mnt', 'tmp/mnt']) {
    fs.mkdirSync(t(d), { recursive: true });
  }
  put('home/.cache/app/blob', Buffer.alloc(300, 2));
  put('home/Projects/web/node_modules/lib.js', Buffer.alloc(40, 3));
  put('tmp/left.tmp', Buffer.alloc(70, 4));
  put('home/.local/state/app/run.log', Buffer.alloc(11, 5));
  fs.writeFileSync(path.join(top, 'bound.dat'), seedBytes);  // what the healthy file mount shows
  return { top, t };
}

const DIR_MOUNTS = ['scan/sub/mnt', 'scan/skipme/mnt', 'home/.cache/app/mnt', 'home/Projects/web/node_modules/mnt',
  'tmp/mnt', 'rootmnt'];
const FILE_MOUNT = 'scan/file.dat';

// The shell that mounts (stalled or healthy), runs the server on the test's
// pipes, and takes every daemon down after it.
function script({ top, t }, stall) {
  const q = (p) => `'${p}'`;
  const lines = ['set -e', 'for d in /var/log /var/tmp /var/crash; do [ -d $d ] && mount -t tmpfs none $d; done',
    `cd ${q(top)}`, 'rm -f ready*', 'pids=""'];
  if (stall === 'healthy') {
    for (const d of DIR_MOUNTS) {
      lines.push(`mount -t tmpfs none ${q(t(d))}`);
      // The root case compares with an empty folder: the stalled root lists nothing.
      if (d !== 'rootmnt') {
        lines.push(`head -c 777 /dev/zero > ${q(t(d) + '/inside.dat')}`, `: > ${q(t(d) + '/zero-inside')}`,
          `mkdir ${q(t(d) + '/edir')}`);
      }
    }
    lines.push(`mount --bind bound.dat ${q(t(FILE_MOUNT))}`);
  } else if (stall === 'never-read') {
    // The shell opens /dev/fuse and never reads it: nothing is answered, not
    // even the first request.
    // (The root case does not run here: its listing would never answer.)
    let fd = 3;
    for (const d of DIR_MOUNTS.filter((d) => d !== 'rootmnt')) {
      lines.push(`exec ${fd}<>/dev/fuse`,
        `mount -t fuse -o fd=${fd},rootmode=40000,user_id=0,group_id=0 none ${q(t(d))}`);
      fd++;
    }
    lines.push(`exec ${fd}<>/dev/fuse`,
      `mount -t fuse -o fd=${fd},rootmode=100000,user_id=0,group_id=0 none ${q(t(FILE_MOUNT))}`);
  } else {
    let n = 0;
    const daemon = (flags, at) => {
      lines.push(`${q(FUSE)} ${flags} -s ${stall} ${q(at)} > ready${n} & pids="$pids $!"`,
        `until [ -s ready${n} ]; do sleep 0.01; done`);
      n++;
    };
    for (const d of DIR_MOUNTS) daemon('', t(d));
    daemon('-f', t(FILE_MOUNT));
  }
  // The watchdog frees a server stuck on a mount by ending the daemons (a
  // request a daemon has read holds its caller until then) and the server
  // (a request nothing read yet ends with it).
  // (A job started with & reads /dev/null unless told otherwise: it reads
  // the test's pipe through a copy.)
  lines.push('set +e', 'exec 9<&0', `${q(BIN)} <&9 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9<&- & srv=$!`,
    `(sleep ${WATCHDOG_S}; kill $pids 2>/dev/null; kill -9 $srv 2>/dev/null) >/dev/null 2>&1 & dog=$!`,
    'wait $srv', 'rc=$?', 'kill $dog $pids 2>/dev/null', 'exit $rc');
  return lines.join('\n');
}

function calls({ t }, withRoot) {
  const scan = t('scan');
  const out = [
    ['scan_top_files', { path: scan, top_n: 50 }],
    ['scan_folder_sizes', { path: scan, depth: 8 }],
    ['scan_folder_sizes', { path: scan, exclude_paths: ['skipme'] }],
    ['scan_empty_files', { path: scan }],
    ['scan_empty_files', { path: scan, exclude_paths: ['skipme'] }],
    ['scan_empty_folders', { path: scan }],
    ['scan_empty_folders', { path: scan, exclude_paths: ['skipme'] }],
    ['find_copies', { seed_path: t('scan/a/seed.dat'), search_dirs: [scan] }],
    ['find_copies', { seed_path: t('scan/a/seed.dat'), search_dirs: [scan], match_mode: 'similar',
      similarity_threshold: 0.5 }],
    ['find_duplicates', { search_dirs: [scan] }],
    ['scan_junk', {}],
  ];
  if (withRoot) {
    for (const name of ['scan_top_files', 'scan_folder_sizes', 'scan_empty_files', 'scan_empty_folders']) {
      out.push([name, { path: t('rootmnt') }]);
    }
    out.push(['find_copies', { seed_path: t('scan/a/seed.dat'), search_dirs: [t('rootmnt')] }]);
    out.push(['find_duplicates', { search_dirs: [t('rootmnt')] }]);
  }
  return out;
}

async function run(fixture, stall, warm, withRoot) {
  const { top } = fixture;
  const home = path.join(top, 'tree', 'home');
  const env = { HOME: home, XDG_CACHE_HOME: path.join(home, '.cache'), XDG_STATE_HOME: path.join(home, '.local/state'),
    TMPDIR: path.join(top, 'tree', 'tmp'), CORVANE_TEST_WARM_AHEAD: warm };
  const input = calls(fixture, withRoot).map(([name, args], i) => toolCall(i + 1, name, args)).join('\n') + '\n';
  const started = Date.now();
  const result = await runServer(input, { env, argv: ['unshare', '-m', 'sh', '-c', script(fixture, stall)],
    timeoutMs: (WATCHDOG_S + 30) * 1000 });
  return { ...result, ms: Date.now() - started };
}

test('walks never wait on a mount that stops answering, and count it for nothing', { skip: !canMount }, async () => {
  const fixture = buildTree();
  try {
    for (const warm of ['off', 'always']) {
      const healthy = await run(fixture, 'healthy', warm, true);
      assert.equal(healthy.code, 0, healthy.stderr);
      assert.equal(healthy.lines.length, calls(fixture, true).length);
      // Nothing of the mounts, nor the file mount, is ever reported.
      for (const line of healthy.lines) {
        assert.ok(!/inside|edir|file\.dat|"isError":true/.test(line), line.slice(0, 400));
      }
      for (const stall of STALLS) {
        const withRoot = ROOT_STALLS.has(stall);
        const got = await run(fixture, stall, warm, withRoot);
        const label = `stall ${stall}, warmers ${warm}`;
        assert.ok(got.ms < PROMPT_MS, `${label}: answered in ${got.ms} ms`);
        assert.equal(got.code, 0, `${label}: ${got.stderr}`);
        assert.equal(got.lines.length, calls(fixture, withRoot).length, label);
        got.lines.forEach((line, i) => assert.ok(line === healthy.lines[i], `${label}, reply ${i + 1}: ${line.slice(0, 400)}`));
      }
    }
  } finally {
    fs.rmSync(fixture.top, { recursive: true, force: true });
  }
});
