// The official MCP TypeScript SDK client against the built server.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const BIN = process.env.CORVANE_BIN;
if (!BIN) throw new Error('CORVANE_BIN must name the server binary');

let client;
let stderr = '';
// A small tree of our own for the scans, and a home folder for the junk scan.
const tree = mkdtempSync(join(tmpdir(), 'corvane-sdk-'));

before(async () => {
  mkdirSync(join(tree, 'data/empty-dir'), { recursive: true });
  mkdirSync(join(tree, 'home/.cache/app'), { recursive: true });
  writeFileSync(join(tree, 'data/a.txt'), 'same content');
  writeFileSync(join(tree, 'data/b.txt'), 'same content');
  writeFileSync(join(tree, 'data/zero.log'), '');
  writeFileSync(join(tree, 'home/.cache/app/blob'), 'cached');
  const home = join(tree, 'home');
  const env = { PATH: process.env.PATH, HOME: home, XDG_CACHE_HOME: join(home, '.cache'), TMPDIR: join(tree, 'tmp') };
  const transport = new StdioClientTransport({ command: BIN, args: [], env, stderr: 'pipe' });
  transport.stderr?.on('data', (d) => { stderr += d; });
  client = new Client({ name: 'corvane-sdk-tests', version: '1.0.0' });
  await client.connect(transport);
});

after(async () => {
  await client?.close();
  rmSync(tree, { recursive: true, force: true });
  assert.equal(stderr, '', 'the server writes nothing to stderr in a normal run');
});

test('initialize: identity, capabilities and instructions reach the client', () => {
  assert.deepEqual(client.getServerVersion(), { name: 'corvane', version: '1.4.1' });
  assert.deepEqual(client.getServerCapabilities(), { tools: {} });
  const instructions = client.getInstructions();
  assert.match(instructions, /^Corvane read-only disk analysis tools\./);
  assert.match(instructions, /get_corvane_app tool \(https:\/\/corvane\.app\)\.$/);
});

test('listTools: the eight tools in catalogue order, each schema strict', async () => {
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), [
    'list_disks', 'disk_health', 'scan_junk', 'scan_top_files',
    'scan_empty_files', 'scan_empty_folders', 'find_copies', 'get_corvane_app',
  ]);
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, 'object');
    assert.equal(tool.inputSchema.additionalProperties, false);
  }
  const findCopies = tools.find((t) => t.name === 'find_copies');
  assert.deepEqual(findCopies.inputSchema.required, ['seed_path', 'search_dirs']);
  assert.equal(findCopies.inputSchema.properties.similarity_threshold.default, 0.85);
});

test('callTool get_corvane_app: a payload without footer', async () => {
  const result = await client.callTool({ name: 'get_corvane_app', arguments: {} });
  assert.equal(result.isError, false);
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  const payload = JSON.parse(result.content[0].text);
  assert.equal(payload.name, 'Corvane');
  assert.equal(payload.download, 'https://corvane.app/download');
});

test('callTool of an unknown tool: an error result, not a protocol error', async () => {
  const result = await client.callTool({ name: 'defragment', arguments: {} });
  assert.equal(result.isError, true);
  assert.equal(result.content[0].text, 'Error: Unknown tool: defragment');
});

test('ping answers', async () => {
  assert.deepEqual(await client.ping(), {});
});

test('callTool: every machine and directory tool answers with a JSON payload', async () => {
  const data = join(tree, 'data');
  const calls = [
    ['list_disks', {}], ['disk_health', {}], ['scan_junk', {}],
    ['scan_top_files', { path: data, top_n: 2 }], ['scan_empty_files', { path: data }],
    ['scan_empty_folders', { path: data }],
    ['find_copies', { seed_path: join(data, 'a.txt'), search_dirs: [data] }],
  ];
  const payloads = {};
  for (const [name, args] of calls) {
    const result = await client.callTool({ name, arguments: args });
    assert.equal(result.isError, false, `${name}: ${result.content[0].text}`);
    const [json, footer] = result.content[0].text.split('\n\n---\n');
    assert.match(footer, /install the free Corvane desktop app: https:\/\/corvane\.app\/download$/);
    payloads[name] = JSON.parse(json);
  }
  assert.deepEqual(payloads.scan_top_files.map((f) => f.name).sort(), ['a.txt', 'b.txt']);
  assert.equal(payloads.find_copies.entries.length, 2);
  assert.equal(payloads.find_copies.entries[1].match_type, 'identical');
});

test('callTool with a missing required argument: an error result', async () => {
  const result = await client.callTool({ name: 'scan_top_files', arguments: {} });
  assert.equal(result.isError, true);
  assert.equal(result.content[0].text, 'Error: missing required string argument: path');
});

test('callTool scan_empty_files on a tree whose whole listing is ~20 MB: a cut result, and the session lives on', async () => {
  // 60,000 zero-byte files under long names: the uncut text would pass the
  // client's 10 MiB message limit, which closes the connection.
  const big = join(tree, 'big');
  const name = 'a-rather-long-file-name-so-that-every-record-weighs-its-share-of-the-reply';
  for (let f = 0; f < 60; f++) {
    const dir = join(big, `folder-${f}`);
    mkdirSync(dir, { recursive: true });
    for (let i = 0; i < 1000; i++) writeFileSync(join(dir, `${name}-${i}.log`), '');
  }
  const result = await client.callTool({ name: 'scan_empty_files', arguments: { path: big } });
  assert.equal(result.isError, false);
  assert.ok(result.content[0].text.length < 1_000_000);
  const payload = JSON.parse(result.content[0].text.split('\n\n---\n')[0]);
  assert.equal(payload.total_count, 60000);
  assert.equal(payload.truncated, true);
  assert.equal(payload.omitted_count, 60000 - payload.files.length);
  assert.deepEqual(await client.ping(), {});
});
