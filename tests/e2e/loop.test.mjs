// The message loop against what a host or the kernel can do to it: a call
// held in the kernel by a mount that stopped answering, descriptors handed
// over in non-blocking mode, and a request of hundreds of megabytes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { BIN, ON_WINE, request, startServer, toolCall } from './harness.mjs';

const FUSE = process.env.CORVANE_STALLING_FUSE;
const canMount = !ON_WINE && process.platform === 'linux' && process.getuid?.() === 0 && !!FUSE &&
  fs.existsSync('/dev/fuse') && spawnSync('unshare', ['-m', 'true']).status === 0;
const isReply = (id) => (lines) => lines.some((l) => l.message.id === id && l.message.method === undefined);

// The seed of find_copies is a file whose reads the daemon takes and never
// answers: the reading thread waits in the kernel, beyond any stop, and
// keeps the process from being reaped until the daemon ends. The shell
// tells the server's pid, and ends the daemon once told (or after 20 s).
function heldReadScript(top) {
  return ['set -e', `cd '${top}'`,
    `'${FUSE}' -f -z 6000 -s read '${top}/seed' > ready & fuse=$!`, 'until [ -s ready ]; do sleep 0.01; done',
    'set +e', 'exec 9<&0', `'${BIN}' <&9 9<&- & srv=$!`, 'echo $srv > pid', 'n=0',
    'while [ ! -e release ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done', 'kill $fuse', 'wait $srv'].join('\n');
}
// Threads of the process still running or waiting in it, besides those
// the kernel holds (D) or that have ended (Z, the main thread's remains).
const live = (pid) => fs.readdirSync(`/proc/${pid}/task`).filter((task) => {
  try {
    return !/^\d+ \(.*\) [DZ]/.test(fs.readFileSync(`/proc/${pid}/task/${task}/stat`, 'utf8'));
  } catch {
    return false;  // gone meanwhile
  }
}).length;

test('a cancelled call held in the kernel is left behind: the next request is answered, the end of input ends the process',
  { skip: !canMount }, async () => {
    const top = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-held-')));
    try {
      fs.writeFileSync(path.join(top, 'seed'), '');
      fs.mkdirSync(path.join(top, 'search'));
      fs.writeFileSync(path.join(top, 'search', 'other'), Buffer.alloc(6000));
      // A leak check at exit would wait on the thread the kernel holds.
      const server = startServer({ ASAN_OPTIONS: 'detect_leaks=0' }, { argv: ['unshare', '-m', 'sh', '-c', heldReadScript(top)] });
      server.send(request(0, 'ping'));
      await server.until(isReply(0));
      server.send(toolCall(1, 'find_copies', { seed_path: path.join(top, 'seed'), search_dirs: [path.join(top, 'search')] }));
      await new Promise((resolve) => setTimeout(resolve, 500));
      const cancelled = Date.now();
      server.send(JSON.stringify({ jsonrpc: '2.0', method: 'notifications/cancelled', params: { requestId: 1 } }));
      server.send(request(2, 'ping'));
      await server.until(isReply(2), 5000);
      const latency = server.lines.find((l) => l.message.id === 2).at - cancelled;
      assert.ok(latency < 1500, `next request answered ${latency} ms after the cancellation`);

      // The end of input ends the process at once: all that is left of it
      // is the thread the kernel holds, until the daemon goes.
      const pid = Number(fs.readFileSync(path.join(top, 'pid'), 'utf8'));
      const ended = Date.now();
      server.end();
      while (live(pid) > 0 && Date.now() - ended < 3000) await new Promise((resolve) => setTimeout(resolve, 20));
      assert.equal(live(pid), 0, `threads live ${Date.now() - ended} ms after the end of input`);
      fs.writeFileSync(path.join(top, 'release'), '');
      const { code, partial } = await server.exited;
      assert.equal(code, 0);
      assert.equal(partial, '');
      assert.deepEqual(server.lines.map((l) => l.message.id), [0, 2], 'nothing of the abandoned call is written');
    } finally {
      fs.rmSync(top, { recursive: true, force: true });
    }
  });

// Sets O_NONBLOCK on the server's standard input and output, as some hosts
// hand them over, then becomes the server.
const NONBLOCKING = 'import os, sys\nos.set_blocking(0, False)\nos.set_blocking(1, False)\nos.execv(sys.argv[1], sys.argv[1:])';
const hasPython = !ON_WINE && spawnSync('python3', ['-c', '']).status === 0;

test('non-blocking pipes: no input yet is not the end, and a slow reader gets every line whole', { skip: !hasPython }, async () => {
  const server = startServer({}, { argv: ['python3', '-c', NONBLOCKING, BIN] });
  await new Promise((resolve) => setTimeout(resolve, 400));
  assert.equal(server.child.exitCode, null, 'the server ended before any input');
  // Replies of 300 KB each (the id is echoed whole), more than a pipe holds,
  // while the reader stops for a while.
  server.child.stdout.pause();
  const ids = Array.from({ length: 6 }, (_, i) => String(i).repeat(300000));
  for (const id of ids) server.send(request(id, 'ping'));
  await new Promise((resolve) => setTimeout(resolve, 800));
  server.child.stdout.resume();
  await server.until((lines) => lines.length === ids.length);
  server.end();
  const { code, partial } = await server.exited;
  assert.equal(code, 0);
  assert.equal(partial, '');
  assert.deepEqual(server.lines.map((l) => l.message.id), ids);
});

const residentBytes = (pid) => Number(/VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) * 1024;

// AddressSanitizer's allocator keeps freed memory in a quarantine of its
// own, so resident size tells nothing there.
const SANITIZED = !!process.env.ASAN_OPTIONS;

test('the memory of a request of hundreds of megabytes is given back once it is answered',
  { skip: ON_WINE || SANITIZED || process.platform !== 'linux' }, async () => {
  const server = startServer({});
  try {
    server.send(request(0, 'ping'));
    await server.until(isReply(0));
    const baseline = residentBytes(server.child.pid);
    // One long string, then ten million small values (160 MB as parsed).
    server.child.stdin.write('{"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":"');
    server.child.stdin.write(Buffer.alloc(200 << 20, 'x'));
    server.send('"}}');
    server.send(`{"jsonrpc":"2.0","id":2,"method":"ping","params":{"a":[${'1,'.repeat(1e7)}1]}}`);
    server.send(request(3, 'ping'));
    await server.until(isReply(3));
    const after = residentBytes(server.child.pid);
    assert.ok(after < baseline + (32 << 20), `resident ${after >> 20} MiB after, ${baseline >> 20} MiB before`);
    server.end();
    assert.equal((await server.exited).code, 0);
  } finally {
    server.child.kill();  // a failed wait must not leave the server holding the test run
  }
});
