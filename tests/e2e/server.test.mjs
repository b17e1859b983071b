// End-to-end: the real binary over its pipes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { BIN, RUNNER, runServer, exchange, request, toolCall, toolText, sortedCompact } from './harness.mjs';

test('initialize answers with the server identity as one compact line', async () => {
  const run = await runServer(request(1, 'initialize') + '\n');
  assert.equal(run.code, 0);
  assert.equal(run.lines.length, 1);
  const reply = JSON.parse(run.lines[0]);
  assert.equal(reply.result.protocolVersion, '2024-11-05');
  assert.deepEqual(reply.result.serverInfo, { name: 'corvane', version: '1.4.1' });
  assert.deepEqual(reply.result.capabilities, { tools: {} });
  assert.match(reply.result.instructions, /\(https:\/\/corvane\.app\)\.$/);
  assert.equal(run.stderr, '');
});

test('framing: blank lines, CRLF, a final line without newline', async () => {
  const input = '\n   \t\n' + request(1, 'ping') + '\r\n\r\n' + request(2, 'ping') + '\n' + request(3, 'ping');
  const run = await runServer(input);
  assert.equal(run.code, 0);
  assert.deepEqual(run.lines, [1, 2, 3].map((id) => `{"id":${id},"jsonrpc":"2.0","result":{}}`));
  assert.ok(run.stdout.toString('latin1').endsWith('}\n'), 'every reply ends with exactly one newline');
  assert.ok(!run.stdout.includes('\r'), 'no carriage returns on the wire');
});

test('what gets no reply: arrays, numbers, strings, notifications', async () => {
  const input = [
    '[1,2,3]', '42', '"text"', 'null', '[' + request(9, 'ping') + ']',
    JSON.stringify({ jsonrpc: '2.0', method: 'notifications/initialized' }),
    JSON.stringify({ jsonrpc: '2.0', method: 'tools/call', params: { name: 'get_corvane_app' } }),
    request(5, 'ping'),
  ].join('\n') + '\n';
  const run = await runServer(input);
  assert.deepEqual(run.lines, ['{"id":5,"jsonrpc":"2.0","result":{}}']);
});

test('bad JSON gets -32700 with id null, and the loop goes on', async () => {
  const { replies, code } = await exchange(['hello', '{"id":1,', request(2, 'ping')]);
  assert.equal(code, 0);
  assert.equal(replies.length, 3);
  for (const reply of replies.slice(0, 2)) {
    assert.equal(reply.id, null);
    assert.equal(reply.error.code, -32700);
    assert.match(reply.error.message, /^Parse error: .*line 1 column \d+/);
  }
  assert.deepEqual(replies[2], { id: 2, jsonrpc: '2.0', result: {} });
});

test('ids of every JSON type are echoed unchanged', async () => {
  const ids = ['1', '0', '-7', '3.25', '"abc"', '""', 'null', 'true', 'false', '[1,"x"]', '{"b":1,"a":2}', '18446744073709551615'];
  const lines = ids.map((id) => `{"jsonrpc":"2.0","id":${id},"method":"ping"}`);
  const run = await runServer(lines.join('\n') + '\n');
  const expected = ['1', '0', '-7', '3.25', '"abc"', '""', 'null', 'true', 'false', '[1,"x"]', '{"a":2,"b":1}', '18446744073709551615'];
  assert.deepEqual(run.lines, expected.map((id) => `{"id":${id},"jsonrpc":"2.0","result":{}}`));
});

test('a burst of mixed requests is answered in order, keys sorted in every reply', async () => {
  const lines = [];
  for (let i = 0; i < 300; i++) {
    const kind = i % 5;
    if (kind === 0) lines.push(request(i, 'ping'));
    else if (kind === 1) lines.push(request(i, 'tools/list'));
    else if (kind === 2) lines.push(request(i, 'initialize'));
    else if (kind === 3) lines.push(toolCall(i, 'no_such_tool', {}));
    else lines.push(request(i, 'prompts/list'));
  }
  const run = await runServer(lines.join('\n') + '\n');
  assert.equal(run.lines.length, 300);
  run.lines.forEach((line, i) => {
    const reply = JSON.parse(line);
    assert.equal(reply.id, i);
    assert.equal(line, sortedCompact(reply), 'reply is compact with sorted keys');
    if (i % 5 === 4) assert.equal(reply.error.code, -32601);
    if (i % 5 === 3) assert.deepEqual(toolText(reply), { text: 'Error: Unknown tool: no_such_tool', isError: true });
  });
});

test('invalid UTF-8 ends the process with exit code 0 and no reply to that line', async () => {
  const input = Buffer.concat([
    Buffer.from(request(1, 'ping') + '\n'),
    Buffer.from([0x7b, 0x22, 0x69, 0x64, 0x22, 0x3a, 0xff, 0x7d, 0x0a]),
    Buffer.from(request(2, 'ping') + '\n'),
  ]);
  const run = await runServer(input);
  assert.equal(run.code, 0);
  assert.deepEqual(run.lines, ['{"id":1,"jsonrpc":"2.0","result":{}}']);
});

test('a 10 MB request line is read whole', async () => {
  const big = 'x'.repeat(10 * 1024 * 1024);
  const line = JSON.stringify({ jsonrpc: '2.0', id: 'big', method: 'ping', params: { pad: big } });
  const run = await runServer(line + '\n' + request(2, 'ping') + '\n');
  assert.deepEqual(run.lines, ['{"id":"big","jsonrpc":"2.0","result":{}}', '{"id":2,"jsonrpc":"2.0","result":{}}']);
});

test('deeply nested JSON is a parse error, not a crash', async () => {
  const run = await runServer('{"id":1,"method":"ping","params":' + '['.repeat(200000) + ']'.repeat(200000) + '}\n' + request(2, 'ping') + '\n');
  assert.equal(run.code, 0);
  assert.equal(run.lines.length, 2);
  assert.equal(JSON.parse(run.lines[0]).error.code, -32700);
});

test('tools/list is byte-identical across calls and lists the ten tools', async () => {
  const run = await runServer(request(1, 'tools/list') + '\n' + request(1, 'tools/list', { cursor: 'next' }) + '\n');
  assert.equal(run.lines[0], run.lines[1]);
  const { tools } = JSON.parse(run.lines[0]).result;
  assert.equal(tools.length, 10);
  assert.ok(run.lines[0].includes('Read-only \u2014 deletes nothing.'));
});

test('tools/call envelopes: companion without footer, errors as results', async () => {
  const { replies } = await exchange([
    toolCall(1, 'get_corvane_app'),
    toolCall(2, 'get_corvane_app', [1, 2]),
    request(3, 'tools/call', { arguments: {} }),
    request(4, 'tools/call', 'not-an-object'),
  ]);
  for (const reply of replies.slice(0, 2)) {
    const { text, isError } = toolText(reply);
    assert.equal(isError, false);
    assert.ok(text.startsWith('{\n  "download": "https://corvane.app/download",'));
    assert.ok(text.endsWith('\n}'));
  }
  for (const reply of replies.slice(2)) {
    assert.equal(reply.error, undefined);
    assert.deepEqual(toolText(reply), { text: 'Error: Unknown tool: ', isError: true });
  }
});

test('a number too large for a double is a parse error, not a crash', async () => {
  const { replies, code } = await exchange(['{"jsonrpc":"2.0","id":1e400,"method":"ping"}', request(2, 'ping')]);
  assert.equal(code, 0);
  assert.equal(replies[0].error.code, -32700);
  assert.equal(replies[0].id, null);
  assert.deepEqual(replies[1], { id: 2, jsonrpc: '2.0', result: {} });
});

test('tools/list matches the reviewed catalogue byte for byte', async () => {
  const { readFileSync } = await import('node:fs');
  const golden = readFileSync(new URL('./golden/tools_list.line', import.meta.url), 'utf8').trimEnd();
  const run = await runServer(request(1, 'tools/list') + '\n');
  assert.equal(run.lines[0], golden);
});

test('a client that closes its end of stdout: the server reads on and exits 0 at end of input', async () => {
  const [cmd, args] = RUNNER ? [RUNNER, [BIN]] : [BIN, []];
  const child = spawn(cmd, args, { stdio: ['pipe', 'pipe', 'ignore'] });
  child.stdout.destroy();
  child.stdin.on('error', () => {});
  const lines = [];
  for (let i = 0; i < 200; i++) lines.push(i % 2 ? request(i, 'tools/list') : toolCall(i, 'get_corvane_app'));
  child.stdin.end(lines.join('\n') + '\n');
  const [code, signal] = await once(child, 'exit');
  assert.deepEqual({ code, signal }, { code: 0, signal: null });
});
