// The protocol under load, measured: requests per second for ping and
// tools/list, resident memory before and after a burst, open descriptors
// before and after 10,000 tool calls, and the time from start to the first
// reply. Linux (reads /proc). Usage: node bench/protocol_bench.mjs [SERVER]
import { spawn } from 'node:child_process';
import { readFileSync, readdirSync, mkdtempSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const server = resolve(process.argv[2] ?? new URL('../build/release/corvane-mcp', import.meta.url).pathname);

function start() {
  const child = spawn(server, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  let left = 0;
  let done = null;
  child.stdout.on('data', (d) => {
    for (let i = d.indexOf(10); i >= 0; i = d.indexOf(10, i + 1)) {
      if (--left === 0) done();
    }
  });
  // Sends lines, resolves when as many replies have come back.
  const send = (lines) => new Promise((resolve) => {
    left = lines.length;
    done = resolve;
    child.stdin.write(lines.join('\n') + '\n');
  });
  return { child, send };
}

const rssKiB = (pid) => Number(readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]);
const fds = (pid) => readdirSync(`/proc/${pid}/fd`).length;
const req = (id, method, params) => JSON.stringify({ jsonrpc: '2.0', id, method, ...(params ? { params } : {}) });

async function rate(method, count) {
  const { child, send } = start();
  await send([req(0, 'ping')]);
  const lines = Array.from({ length: count }, (_, i) => req(i, method));
  const t0 = process.hrtime.bigint();
  await send(lines);
  const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
  child.stdin.end();
  return count / seconds;
}

const t0 = process.hrtime.bigint();
const first = start();
await first.send([req(1, 'initialize')]);
const startupMs = Number(process.hrtime.bigint() - t0) / 1e6;
first.child.stdin.end();

const pingRate = await rate('ping', 200000);
const listRate = await rate('tools/list', 20000);

// Memory around a burst of 100,000 mixed requests.
const burst = start();
await burst.send([req(0, 'ping')]);
const rssBefore = rssKiB(burst.child.pid);
const mixed = [];
for (let i = 0; i < 100000; i++) mixed.push(i % 3 === 0 ? req(i, 'tools/list') : i % 3 === 1 ? req(i, 'ping') : req(i, 'tools/call', { name: 'get_corvane_app' }));
await burst.send(mixed);
const rssAfter = rssKiB(burst.child.pid);
burst.child.stdin.end();

// Descriptors around 10,000 tool calls that open files and folders.
const dir = mkdtempSync(join(tmpdir(), 'corvane-protocol-bench-'));
for (let i = 0; i < 20; i++) writeFileSync(join(dir, `f${i}.txt`), i % 2 ? 'same' : '');
const calls = start();
await calls.send([req(0, 'ping')]);
const fdsBefore = fds(calls.child.pid);
const tools = [
  { name: 'scan_top_files', arguments: { path: dir, top_n: 3 } },
  { name: 'scan_empty_files', arguments: { path: dir } },
  { name: 'scan_empty_folders', arguments: { path: dir } },
  { name: 'find_copies', arguments: { seed_path: join(dir, 'f1.txt'), search_dirs: [dir] } },
  { name: 'scan_top_files', arguments: { path: join(dir, 'missing') } },
];
const t1 = process.hrtime.bigint();
for (let k = 0; k < 10; k++) await calls.send(Array.from({ length: 1000 }, (_, i) => req(i, 'tools/call', tools[i % tools.length])));
const callSeconds = Number(process.hrtime.bigint() - t1) / 1e9;
const fdsAfter = fds(calls.child.pid);
calls.child.stdin.end();
rmSync(dir, { recursive: true, force: true });

console.log(`| measure | value |
|---|---|
| start to first reply (initialize) | ${startupMs.toFixed(1)} ms |
| ping | ${Math.round(pingRate).toLocaleString('en')} requests/s |
| tools/list | ${Math.round(listRate).toLocaleString('en')} requests/s |
| resident memory before / after 100,000 mixed requests | ${(rssBefore / 1024).toFixed(1)} / ${(rssAfter / 1024).toFixed(1)} MiB |
| open descriptors before / after 10,000 tool calls | ${fdsBefore} / ${fdsAfter} |
| 10,000 tool calls on a 20-file folder | ${callSeconds.toFixed(2)} s (${Math.round(10000 / callSeconds)} calls/s) |`);
