// Cancellations that name nothing, measured: with a call running, N queued
// pings and N cancellations of unknown ids, then the call's own
// cancellation; the time until every ping is answered. Also ten unknown
// cancellations behind one queued 100 MB request. Each server given is run
// side by side. Usage: node bench/cancel_flood.mjs [SERVER...]
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const servers = process.argv.length > 2 ? process.argv.slice(2).map((s) => resolve(s))
  : [new URL('../build/release/corvane-mcp', import.meta.url).pathname];

const tree = mkdtempSync(join(tmpdir(), 'corvane-flood-'));
for (let d = 0; d < 20; d++) {
  mkdirSync(join(tree, `d${d}`));
  for (let f = 0; f < 50; f++) writeFileSync(join(tree, `d${d}`, `f${f}`), 'x');
}

const req = (id, method, params) => JSON.stringify({ jsonrpc: '2.0', id, method, ...(params ? { params } : {}) });
const cancel = (id) => JSON.stringify({ jsonrpc: '2.0', method: 'notifications/cancelled', params: { requestId: id } });

// Seconds from writing `lines` (behind a slow running call, cancelled last)
// until `replies` replies have come.
function flood(server, lines, replies) {
  return new Promise((done) => {
    const child = spawn(server, [], { stdio: ['pipe', 'pipe', 'inherit'],
      env: { ...process.env, CORVANE_TEST_ENTRY_PAUSE_US: '20000' } });
    let seen = 0;
    let t0 = 0;
    child.stdout.on('data', (d) => {
      for (let i = d.indexOf(10); i >= 0; i = d.indexOf(10, i + 1)) {
        if (++seen === 1) {
          t0 = process.hrtime.bigint();
          child.stdin.write(lines.join('\n') + '\n' + cancel('run') + '\n');
        } else if (seen === replies + 1) {
          done(Number(process.hrtime.bigint() - t0) / 1e9);
          child.stdin.end();
        }
      }
    });
    child.stdin.write(req(0, 'ping') + '\n' + req('run', 'tools/call', { name: 'scan_top_files', arguments: { path: tree } }) + '\n');
  });
}

const rows = [];
for (const n of [1000, 2000, 4000]) {
  const lines = [];
  for (let i = 1; i <= n; i++) lines.push(req(i, 'ping'));
  for (let i = 1; i <= n; i++) lines.push(cancel(`unknown-${i}`));
  rows.push([`N=${n}`, lines, n]);
}
const big = [req(1, 'ping', { pad: 'x'.repeat(100 << 20) })];
for (let i = 0; i < 10; i++) big.push(cancel(`unknown-${i}`));
rows.push(['100 MB + 10', big, 1]);

console.log(['case', ...servers].join('\t'));
for (const [name, lines, replies] of rows) {
  const times = [];
  for (const server of servers) times.push((await flood(server, lines, replies)).toFixed(2) + ' s');
  console.log([name, ...times].join('\t'));
}
rmSync(tree, { recursive: true, force: true });
