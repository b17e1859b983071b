// Clients of other protocol eras against the built server: an official SDK
// that tops out at 2025-03-26 (it must get 2024-11-05 and the old bytes),
// and the newest official SDK, whose 'auto' negotiation first probes the
// stateless era with server/discover and must fall back to initialize.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Client as OldClient } from 'sdk-2025-03-26/client/index.js';
import { StdioClientTransport as OldStdio } from 'sdk-2025-03-26/client/stdio.js';
import { Client as NewClient } from '@modelcontextprotocol/client';
import { StdioClientTransport as NewStdio } from '@modelcontextprotocol/client/stdio';
import { runServer, request, toolCall, sortedCompact } from '../e2e/harness.mjs';

const BIN = process.env.CORVANE_BIN;
const golden = readFileSync(new URL('../e2e/golden/tools_list.line', import.meta.url), 'utf8').trimEnd();

// Every message the transport receives, as parsed from the server's line
// (compact, keys sorted: sortedCompact gives the line back byte for byte).
function watch(transport) {
  const received = [];
  const sent = [];
  const start = transport.start.bind(transport);
  transport.start = async () => {
    const onmessage = transport.onmessage;
    transport.onmessage = (message, extra) => {
      received.push(message);
      onmessage(message, extra);
    };
    const send = transport.send.bind(transport);
    transport.send = (message, options) => {
      sent.push(message);
      return send(message, options);
    };
    return start();
  };
  return { received, sent };
}

test('an SDK that tops out at 2025-03-26 gets 2024-11-05 and the bytes of before', async () => {
  const transport = new OldStdio({ command: BIN, args: [], env: { PATH: process.env.PATH } });
  const { received, sent } = watch(transport);
  const client = new OldClient({ name: 'corvane-old-sdk', version: '1.0.0' });
  try {
    await client.connect(transport);
    assert.equal(sent[0].params.protocolVersion, '2025-03-26');
    assert.equal(received[0].result.protocolVersion, '2024-11-05');
    const { tools } = await client.listTools();
    assert.equal(tools.length, 10);
    const listed = received.find((m) => m.result?.tools);
    assert.equal(sortedCompact(listed), golden.replace('"id":1,', `"id":${listed.id},`));
    const result = await client.callTool({ name: 'get_corvane_app', arguments: {} });
    assert.equal(result.structuredContent, undefined);
    const reply = received.find((m) => m.result?.content);
    const before = await runServer(toolCall(reply.id, 'get_corvane_app', {}) + '\n');
    assert.equal(sortedCompact(reply), before.lines[0]);
  } finally {
    await client.close();
  }
});

test("the newest SDK's 'auto' negotiation probes server/discover, gets -32601, and falls back to initialize", async () => {
  // The stdin of every process the client starts, the probe's included.
  const dir = mkdtempSync(join(tmpdir(), 'corvane-eras-'));
  const log = join(dir, 'stdin.log');
  try {
    const transport = new NewStdio({ command: 'sh', args: ['-c', 'tee -a "$0" | "$1"', log, BIN], env: { PATH: process.env.PATH } });
    const client = new NewClient({ name: 'corvane-new-sdk', version: '1.0.0' }, { versionNegotiation: { mode: 'auto' } });
    try {
      await client.connect(transport);
      assert.equal(client.getProtocolEra(), 'legacy');
      assert.equal(client.getNegotiatedProtocolVersion(), '2025-11-25');
      const { tools } = await client.listTools();
      assert.deepEqual(tools.map((t) => t.annotations.readOnlyHint), Array(10).fill(true));
      const app = await client.callTool({ name: 'get_corvane_app', arguments: {} });
      assert.equal(app.structuredContent.download, 'https://corvane.app/download');
    } finally {
      await client.close();
    }
    const methods = readFileSync(log, 'utf8').trim().split('\n').map((l) => JSON.parse(l).method);
    assert.equal(methods[0], 'server/discover');
    assert.ok(methods.indexOf('initialize') > 0, methods.join(', '));
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
  // The probe's answer, as any client gets it.
  const probe = await runServer(request(1, 'server/discover', {}) + '\n');
  assert.deepEqual(JSON.parse(probe.lines[0]).error, { code: -32601, message: 'Method not found: server/discover' });
});
