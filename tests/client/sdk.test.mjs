// The official MCP TypeScript SDK client against the built server.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { existsSync, mkdtempSync, mkdirSync, readdirSync, readFileSync, rmSync, truncateSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const BIN = process.env.CORVANE_BIN;
if (!BIN) throw new Error('CORVANE_BIN must name the server binary');

let client;
let negotiated;
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
  transport.setProtocolVersion = (version) => { negotiated = version; };
  client = new Client({ name: 'corvane-sdk-tests', version: '1.0.0' });
  await client.connect(transport);
});

after(async () => {
  await client?.close();
  rmSync(tree, { recursive: true, force: true });
  assert.equal(stderr, '', 'the server writes nothing to stderr in a normal run');
});

test('initialize: identity, capabilities and instructions reach the client', () => {
  // This SDK asks the newest version it knows, which the server speaks.
  assert.equal(negotiated, '2025-11-25');
  assert.deepEqual(client.getServerVersion(), { name: 'corvane', version: '1.4.1' });
  assert.deepEqual(client.getServerCapabilities(), { tools: {} });
  const instructions = client.getInstructions();
  assert.match(instructions, /^Corvane read-only disk analysis tools\./);
  assert.match(instructions, /get_corvane_app tool \(https:\/\/corvane\.app\)\.$/);
});

test('listTools: the ten tools in catalogue order, each schema strict', async () => {
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), [
    'list_disks', 'disk_health', 'scan_junk', 'scan_top_files', 'scan_folder_sizes',
    'scan_empty_files', 'scan_empty_folders', 'find_copies', 'find_duplicates', 'get_corvane_app',
  ]);
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, 'object');
    assert.equal(tool.inputSchema.additionalProperties, false);
  }
  // A 2025-11-25 session: every tool says it only reads, in all four hints,
  // and has a title and an output schema the SDK validates results against.
  assert.deepEqual(tools.map((t) => t.title), ['List disks', 'Disk health', 'Junk scan', 'Largest files',
    'Folder sizes', 'Empty files', 'Empty folders', 'Find copies', 'Duplicate files', 'Corvane desktop app']);
  for (const tool of tools) {
    assert.deepEqual(tool.annotations, { readOnlyHint: true, destructiveHint: false, idempotentHint: true, openWorldHint: false });
    assert.equal(tool.outputSchema.type, 'object');
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
    ['scan_top_files', { path: data, top_n: 2 }], ['scan_folder_sizes', { path: tree, depth: 8, top_n: 1 }],
    ['scan_empty_files', { path: data }],
    ['scan_empty_folders', { path: data }],
    ['find_copies', { seed_path: join(data, 'a.txt'), search_dirs: [data] }],
    ['find_duplicates', { search_dirs: [data, data] }],
  ];
  const payloads = {};
  for (const [name, args] of calls) {
    const result = await client.callTool({ name, arguments: args });
    assert.equal(result.isError, false, `${name}: ${result.content[0].text}`);
    const [json, footer] = result.content[0].text.split('\n\n---\n');
    assert.match(footer, /install the free Corvane desktop app: https:\/\/corvane\.app\/download$/);
    payloads[name] = JSON.parse(json);
    // callTool has validated it against the schema already; both copies agree.
    const key = { list_disks: 'disks', disk_health: 'disks', scan_top_files: 'files' }[name];
    assert.deepEqual(key ? result.structuredContent[key] : result.structuredContent, payloads[name], name);
  }
  assert.deepEqual(payloads.scan_top_files.map((f) => f.name).sort(), ['a.txt', 'b.txt']);
  // The deepest tree the schema allows, with a cut list at every level.
  const sizes = payloads.scan_folder_sizes;
  assert.equal(sizes.size, 30);
  assert.deepEqual(sizes.folders.map((f) => f.name), ['data']);
  assert.deepEqual([sizes.omitted_count, sizes.omitted_size], [1, 6]);
  assert.deepEqual(sizes.folders[0].folders, [{ ...sizes.folders[0].folders[0], name: 'empty-dir', size: 0 }]);
  assert.equal(payloads.find_copies.entries.length, 2);
  assert.equal(payloads.find_copies.entries[1].match_type, 'identical');
  const { groups, ...totals } = payloads.find_duplicates;
  assert.deepEqual(groups.map((g) => g.files.map((f) => f.path)), [[join(data, 'a.txt'), join(data, 'b.txt')]]);
  assert.deepEqual(totals, { bytes_read: 24, duplicate_count: 1, files_compared: 2, group_count: 1, wasted_size: 12 });
});

test('callTool find_duplicates whose groups pass a megabyte: a prefix of the groups, the totals of all', async () => {
  // 4,000 pairs under long names: the listed groups are cut, the totals
  // still count every group, and the SDK validates the cut reply.
  const pairs = join(tree, 'pairs');
  const name = 'a-long-name-so-that-every-duplicate-weighs-its-share-of-the-reply-'.repeat(2);
  for (let f = 0; f < 40; f++) {
    const dir = join(pairs, `folder-${f}`);
    mkdirSync(dir, { recursive: true });
    for (let i = 0; i < 100; i++) {
      const content = `pair ${f} ${i}`.padEnd(20 + f, '.');
      writeFileSync(join(dir, `${name}${i}-a`), content);
      writeFileSync(join(dir, `${name}${i}-b`), content);
    }
  }
  const result = await client.callTool({ name: 'find_duplicates', arguments: { search_dirs: [pairs] } });
  assert.equal(result.isError, false);
  assert.ok(result.content[0].text.length < 1_000_000);
  const payload = result.structuredContent;
  assert.equal(payload.group_count, 4000);
  assert.equal(payload.files_compared, 8000);
  assert.equal(payload.truncated, true);
  assert.equal(payload.omitted_count, 4000 - payload.groups.length);
  // The largest files first: the last folder's pairs lead.
  assert.equal(payload.groups[0].size, 59);
  rmSync(pairs, { recursive: true, force: true });
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
  assert.deepEqual(result.structuredContent.files, payload.files);
  assert.equal(result.structuredContent.omitted_count, payload.omitted_count);
  assert.deepEqual(await client.ping(), {});
});

test('callTool scan_top_files whose 200 names escape to over a megabyte: one prefix in both copies, the cut told in each', async () => {
  const dir = join(tree, 'controls', '\x01'.repeat(250), '\x03'.repeat(250));
  mkdirSync(dir, { recursive: true });
  for (let i = 0; i < 200; i++) writeFileSync(join(dir, '\x02'.repeat(250) + String(i).padStart(3, '0')), 'x'.repeat(i + 1));
  const result = await client.callTool({ name: 'scan_top_files', arguments: { path: join(tree, 'controls'), top_n: 200 } });
  assert.equal(result.isError, false);
  const text = result.content[0].text;
  const listed = JSON.parse(text.split('\n\n---\n')[0]);
  assert.ok(listed.length > 0 && listed.length < 200, `${listed.length} listed`);
  assert.deepEqual(result.structuredContent, { files: listed, omitted_count: 200 - listed.length, truncated: true });
  assert.ok(text.endsWith(`\nOnly ${listed.length} of the 200 files found are listed: the rest did not fit in one reply.`));
});

// Long calls. Each test starts a server of its own, with the environment it
// needs, and watches every message that reaches the client.
async function watchedClient(env) {
  const transport = new StdioClientTransport({ command: BIN, args: [], env: { PATH: process.env.PATH, ...env } });
  const watched = new Client({ name: 'corvane-sdk-long-calls', version: '1.0.0' });
  await watched.connect(transport);
  const received = [];
  const sent = [];
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
  return { client: watched, pid: transport.pid, received, sent };
}

// CPU time the process has used so far, in clock ticks (utime + stime).
function cpuTicks(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
  return Number(fields[11]) + Number(fields[12]);
}

// Ids of the processes whose parent is `pid`.
function childrenOf(pid) {
  return readdirSync('/proc').filter((n) => /^\d+$/.test(n)).filter((n) => {
    try {
      return Number(readFileSync(`/proc/${n}/stat`, 'utf8').replace(/^.*\) /, '').split(' ')[1]) === pid;
    } catch {
      return false;  // ended meanwhile
    }
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Aborts `call` after `afterMs`; then a ping must answer within a second,
// no reply may arrive for the aborted request, and the server must go idle.
async function abortAndCheck(watched, name, args, afterMs, { busy = true } = {}) {
  const { client: c, pid, received, sent } = watched;
  const controller = new AbortController();
  const start = cpuTicks(pid);
  const call = c.callTool({ name, arguments: args }, undefined, { signal: controller.signal, timeout: 600000 });
  await sleep(afterMs);
  const busyTicks = cpuTicks(pid) - start;
  controller.abort('the user gave up');
  await assert.rejects(call);
  const aborted = Date.now();
  assert.deepEqual(await c.ping(), {});
  const pingMs = Date.now() - aborted;
  assert.ok(pingMs < 1000, `${name}: ping answered ${pingMs} ms after the abort`);
  const idleFrom = cpuTicks(pid);
  await sleep(1000);
  const idle = cpuTicks(pid) - idleFrom;
  assert.ok(idle <= 10, `${name}: ${idle} ticks of CPU in the second after the abort`);
  // Clock ticks are 1/100 s: a working call used a fair part of its time.
  if (busy) assert.ok(busyTicks >= afterMs / 100, `${name}: only ${busyTicks} ticks of CPU before the abort`);
  const callId = sent.find((m) => m.method === 'tools/call' && m.params.name === name).id;
  assert.ok(sent.some((m) => m.method === 'notifications/cancelled' && m.params.requestId === callId));
  await sleep(200);
  assert.ok(!received.some((m) => m.id === callId), `${name}: a reply came for the cancelled request`);
  return pingMs;
}

function slowTree() {
  const root = mkdtempSync(join(tmpdir(), 'corvane-sdk-slow-'));
  for (let d = 0; d < 20; d++) {
    mkdirSync(join(root, `d${d}`));
    for (let f = 0; f < 50; f++) writeFileSync(join(root, `d${d}`, `f${f}`), 'x'.repeat(f + 1));
  }
  return root;
}

test('a scan longer than the request timeout succeeds while its progress resets the timer', async () => {
  const slow = slowTree();
  const watched = await watchedClient({ CORVANE_TEST_ENTRY_PAUSE_US: '4000' });  // about 4 s
  try {
    const seen = [];
    const started = Date.now();
    const result = await watched.client.callTool({ name: 'scan_top_files', arguments: { path: slow, top_n: 1 } },
      undefined, { onprogress: (p) => seen.push(p), resetTimeoutOnProgress: true, timeout: 1000 });
    assert.ok(Date.now() - started > 2000, 'the scan was not slow enough to need its progress');
    assert.equal(result.isError, false);
    assert.ok(seen.length >= 2, `${seen.length} progress notifications`);
    for (let i = 1; i < seen.length; i++) assert.ok(seen[i].progress > seen[i - 1].progress);
    assert.ok(seen.every((p) => p.total === undefined));
    assert.ok(seen.at(-1).progress <= 1020);
  } finally {
    await watched.client.close();
    rmSync(slow, { recursive: true, force: true });
  }
});

test('aborted calls free the server at once: a walk, a hash of large copies, a smartctl that never ends', async (t) => {
  const slow = slowTree();
  const big = mkdtempSync(join(tmpdir(), 'corvane-sdk-big-'));
  const fakeBin = mkdtempSync(join(tmpdir(), 'corvane-sdk-smartctl-'));
  // A smartctl stand-in that never exits (and uses no CPU while it waits).
  writeFileSync(join(fakeBin, 'smartctl'), '#!/bin/sh\nexec sleep 600\n', { mode: 0o755 });
  const watched = await watchedClient({ CORVANE_TEST_ENTRY_PAUSE_US: '4000', PATH: `${fakeBin}:${process.env.PATH}` });
  const latencies = {};
  try {
    latencies.scan = await abortAndCheck(watched, 'scan_top_files', { path: slow }, 1000);

    // Sparse 2 GiB files of zeros: each is hashed in full, seconds of CPU.
    for (const name of ['seed.bin', 'a.bin', 'b.bin', 'c.bin']) {
      writeFileSync(join(big, name), '');
      truncateSync(join(big, name), 2 ** 31);
    }
    latencies.hash = await abortAndCheck(watched, 'find_copies',
      { seed_path: join(big, 'seed.bin'), search_dirs: [big] }, 1500);

    const disks = readdirSync('/sys/block').filter((n) => !/^(loop|ram|zram|dm-|md|nbd|sr|fd)/.test(n));
    const hasSmartctl = ['/usr/sbin', '/sbin', '/usr/bin', '/bin', '/usr/local/sbin']
      .some((d) => existsSync(join(d, 'smartctl')));
    if (disks.length === 0 || hasSmartctl) {
      t.diagnostic('no disk to ask, or a real smartctl comes first: the child case is skipped');
    } else {
      const call = abortAndCheck(watched, 'disk_health', {}, 1000, { busy: false });
      await sleep(500);
      assert.ok(childrenOf(watched.pid).length > 0, 'smartctl was running');
      latencies.child = await call;
      assert.deepEqual(childrenOf(watched.pid), [], 'the smartctl child was killed');
    }
    t.diagnostic(`ping after abort: ${JSON.stringify(latencies)} ms`);
    // The server serves on as before.
    const after = await watched.client.callTool({ name: 'get_corvane_app', arguments: {} });
    assert.equal(after.isError, false);
  } finally {
    await watched.client.close();
    for (const dir of [slow, big, fakeBin]) rmSync(dir, { recursive: true, force: true });
  }
});
