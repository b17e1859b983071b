// Progress and cancellation over the real pipes, on both lanes (natively
// and through the Windows build under Wine): the walk is slowed by the
// server's test pause, so that a small tree takes seconds.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { ON_WINE, runServer, request, startServer, toolCall } from './harness.mjs';

const PAUSE = { CORVANE_TEST_ENTRY_PAUSE_US: '5000' };  // 1020 entries: about 5 s

function slowTree() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-progress-'));
  for (let d = 0; d < 20; d++) {
    fs.mkdirSync(path.join(root, `d${d}`));
    for (let f = 0; f < 50; f++) fs.writeFileSync(path.join(root, `d${d}`, `f${f}`), 'x'.repeat(f + 1));
  }
  return root;
}

const isProgress = (l) => l.message.method === 'notifications/progress';
const replyTo = (id) => (lines) => lines.some((l) => l.message.id === id && !isProgress(l));

test('a scan with a progress token: growing notifications, then cancelled: no reply, the next ping at once', async (t) => {
  const tree = slowTree();
  try {
    const server = startServer(PAUSE);
    // Timed from a server that is up (Wine takes its time to start one).
    server.send(request(0, 'ping'));
    await server.until(replyTo(0));
    const started = Date.now();
    server.send(toolCall(1, 'scan_top_files', { path: tree }).replace('"params":{', '"params":{"_meta":{"progressToken":"scan-1"},'));
    await server.until((lines) => lines.filter(isProgress).length >= 3);
    const first = server.lines.find(isProgress);
    assert.ok(first.at - started < (ON_WINE ? 3000 : 1500), `first notification after ${first.at - started} ms`);

    const cancelled = Date.now();
    server.send(JSON.stringify({ jsonrpc: '2.0', method: 'notifications/cancelled', params: { requestId: 1, reason: 'user' } }));
    server.send(request(2, 'ping'));
    await server.until(replyTo(2));
    const latency = server.lines.find((l) => l.message.id === 2).at - cancelled;
    assert.ok(latency < 1000, `ping answered ${latency} ms after the cancellation`);
    server.end();
    const { code, partial } = await server.exited;
    assert.equal(code, 0);
    assert.equal(partial, '', 'every line ends with a newline');

    const messages = server.lines.map((l) => l.message);
    assert.ok(!replyTo(1)(server.lines), 'no reply for the cancelled call');
    assert.deepEqual(messages.at(-1), { id: 2, jsonrpc: '2.0', result: {} });
    t.diagnostic(`ping ${latency} ms after the cancellation`);
    const values = messages.filter((m) => m.method === 'notifications/progress').map((m) => {
      assert.deepEqual(Object.keys(m.params).sort(), ['progress', 'progressToken']);
      assert.equal(m.params.progressToken, 'scan-1');
      return m.params.progress;
    });
    for (let i = 1; i < values.length; i++) assert.ok(values[i] > values[i - 1], `progress ${values}`);
  } finally {
    fs.rmSync(tree, { recursive: true, force: true });
  }
});

test('the same slow scan without a token: exactly one reply line, as before', async () => {
  const tree = slowTree();
  try {
    const run = await runServer(toolCall(7, 'scan_top_files', { path: tree, top_n: 2 }) + '\n', { env: { CORVANE_TEST_ENTRY_PAUSE_US: '2000' } });
    assert.equal(run.code, 0);
    assert.equal(run.lines.length, 1);
    const reply = JSON.parse(run.lines[0]);
    assert.equal(reply.id, 7);
    assert.equal(reply.result.isError, false);
    assert.deepEqual(JSON.parse(reply.result.content[0].text.split('\n\n---\n')[0]).map((f) => f.name), ['f49', 'f49']);
  } finally {
    fs.rmSync(tree, { recursive: true, force: true });
  }
});
