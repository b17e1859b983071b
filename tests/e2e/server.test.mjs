// End-to-end: the real binary over its pipes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { runServer, exchange, request, toolCall, toolText } from './harness.mjs';

test('initialize answers with the server identity as one compact line', async () => {
  const run = await runServer(request(1, 'initialize') + '\n');
  assert.equal(run.code, 0);
  assert.equal(run.lines.length, 1);
  const reply = JSON.parse(run.lines[0]);
  assert.equal(reply.result.protocolVersion, '2024-11-05');
  assert.deepEqual(reply.result.serverInfo, { name: 'corvane', version: '1.4.1' });
  assert.deepEqual(reply.result.capabilities, { tools: {} });
  assert.equal(run.stderr, '');
});
