// The protocol under load and bad input: huge lines, deep nesting, long bursts.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { runServer, request, toolCall } from './harness.mjs';

test('a 100 MB request line is answered and the next line still is', async () => {
  const line = '{"jsonrpc":"2.0","id":"huge","method":"ping","params":{"pad":"' + 'y'.repeat(100 * 1024 * 1024) + '"}}';
  const run = await runServer(line + '\n' + request(2, 'ping') + '\n', { timeoutMs: 300000 });
  assert.equal(run.code, 0);
  assert.deepEqual(run.lines, ['{"id":"huge","jsonrpc":"2.0","result":{}}', '{"id":2,"jsonrpc":"2.0","result":{}}']);
});

test('JSON nested a million levels deep, as a value and inside params, is refused cleanly', async () => {
  const deep = '['.repeat(1_000_000) + ']'.repeat(1_000_000);
  const lines = [deep, '{"jsonrpc":"2.0","id":1,"method":"ping","params":' + deep + '}', request(3, 'ping')];
  const run = await runServer(lines.join('\n') + '\n', { timeoutMs: 300000 });
  assert.equal(run.code, 0);
  assert.equal(run.lines.length, 3);
  for (const l of run.lines.slice(0, 2)) assert.equal(JSON.parse(l).error.code, -32700);
  assert.equal(run.lines[2], '{"id":3,"jsonrpc":"2.0","result":{}}');
});

test('100,000 mixed requests in one burst come back in order, one line each', async () => {
  const count = 100_000;
  const lines = [];
  for (let i = 0; i < count; i++) {
    switch (i % 6) {
      case 0: lines.push(request(i, 'ping')); break;
      case 1: lines.push(request(String(i), 'initialize')); break;
      case 2: lines.push(toolCall(i, 'get_corvane_app')); break;
      case 3: lines.push(request(i, 'nope')); break;
      case 4: lines.push('{"jsonrpc":"2.0","method":"notifications/progress"}'); break;
      default: lines.push('not json ' + i);
    }
  }
  const run = await runServer(lines.join('\n') + '\n', { timeoutMs: 600000 });
  assert.equal(run.code, 0);
  const expected = lines.length - Math.floor(count / 6) - (count % 6 > 4 ? 1 : 0);
  assert.equal(run.lines.length, expected);
  let k = 0;
  for (let i = 0; i < count; i++) {
    if (i % 6 === 4) continue;
    const reply = JSON.parse(run.lines[k++]);
    if (i % 6 === 5) assert.equal(reply.id, null);
    else assert.equal(reply.id, i % 6 === 1 ? String(i) : i);
  }
});
