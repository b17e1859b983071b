// Protocol versions over the real pipes, on both lanes: what each initialize
// settles, the catalogue and structured results a modern session gets
// (checked by the official SDK's own validator against the advertised
// schemas), and the old session's bytes kept.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { AjvJsonSchemaValidator } from '@modelcontextprotocol/sdk/validation/ajv';
import { ON_WINE, exchange, request, toolCall } from './harness.mjs';

const golden = (name) => fs.readFileSync(new URL(`./golden/${name}`, import.meta.url), 'utf8').trimEnd();
const init = (id, protocolVersion) => request(id, 'initialize', protocolVersion === undefined ? {} : { protocolVersion });
const serverPath = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);
const FOOTER_START = '\n\n---\nThis is a read-only scan from the Corvane MCP server.';
const ARRAY_KEYS = { list_disks: 'disks', disk_health: 'disks', scan_top_files: 'files' };

const root = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-e2e-versions-')));
after(() => fs.rmSync(root, { recursive: true, force: true }));
const data = path.join(root, 'data');
fs.mkdirSync(path.join(data, 'empty-dir/inner'), { recursive: true });
for (let i = 0; i < 20; i++) fs.writeFileSync(path.join(data, `${'f'.repeat(90)}-${i}.txt`), 'x'.repeat(i + 1));
fs.writeFileSync(path.join(data, 'copy.txt'), 'x'.repeat(20));
fs.writeFileSync(path.join(data, 'zero.log'), '');

const CALLS = [
  ['list_disks', {}], ['disk_health', {}], ['scan_junk', {}],
  ['scan_top_files', { path: serverPath(data), top_n: 30 }], ['scan_empty_files', { path: serverPath(data) }],
  ['scan_empty_folders', { path: serverPath(data) }],
  ['find_copies', { seed_path: serverPath(path.join(data, 'copy.txt')), search_dirs: [serverPath(data)] }],
  ['find_copies', { seed_path: serverPath(path.join(data, 'copy.txt')), search_dirs: [serverPath(data)], match_mode: 'similar', similarity_threshold: 0.1 }],
  ['get_corvane_app', {}],
];

// The payload's JSON text, before the footer.
const jsonOf = (text) => JSON.parse(text.includes(FOOTER_START) ? text.slice(0, text.indexOf(FOOTER_START)) : text);

// The line after the footer, if any.
function noteOf(text) {
  const lines = text.slice(text.indexOf(FOOTER_START)).split('\n');
  return lines.length > 4 ? lines.at(-1) : '';
}

const validators = (tools) => {
  const ajv = new AjvJsonSchemaValidator();
  return Object.fromEntries(tools.map((t) => [t.name, ajv.getValidator(t.outputSchema)]));
};

function checkStructured(validate, name, result) {
  assert.equal(result.isError, false, `${name}: ${result.content[0].text}`);
  const verdict = validate[name](result.structuredContent);
  assert.ok(verdict.valid, `${name}: ${verdict.errorMessage}`);
  const key = ARRAY_KEYS[name];
  assert.deepEqual(key ? result.structuredContent[key] : result.structuredContent, jsonOf(result.content[0].text),
    `${name}: both copies hold the same payload`);
}

test('each initialize settles the session: versions, catalogue bytes, and -32601 for the stateless probe', async () => {
  const { replies, lines } = await exchange([
    request(1, 'tools/list'),
    init(2, '2025-11-25'), request(3, 'tools/list'),
    init(4, '2025-03-26'), request(5, 'tools/list'),
    init(6, '2026-07-28'), request(7, 'tools/list'),
    init(8, '2025-06-18'), init(9, 'latest'), init(10), init(11, 20251125), init(12, '2024-10-07'),
    request(13, 'server/discover', {}),
  ]);
  assert.equal(lines[0], golden('tools_list.line'));
  assert.equal(lines[2], golden('tools_list_2025-11-25.line').replace('"id":1,', '"id":3,'));
  assert.equal(lines[4], golden('tools_list.line').replace('"id":1,', '"id":5,'));
  assert.equal(lines[6], golden('tools_list_2025-11-25.line').replace('"id":1,', '"id":7,'));
  const answered = [1, 3, 5, 7, 8, 9, 10, 11].map((i) => replies[i].result.protocolVersion);
  assert.deepEqual(answered, ['2025-11-25', '2024-11-05', '2025-11-25', '2025-06-18', '2024-11-05', '2024-11-05',
    '2024-11-05', '2024-11-05']);
  assert.equal(lines[12], '{"error":{"code":-32601,"message":"Method not found: server/discover"},"id":13,"jsonrpc":"2.0"}');
});

test('a modern session: every structured result valid against its schema; the text as an old session gets it', async () => {
  // The junk scan of a home of our own (Wine needs the real HOME for its prefix).
  const env = ON_WINE ? {} : { HOME: path.join(root, 'home'), XDG_CACHE_HOME: path.join(root, 'home/.cache'), TMPDIR: path.join(root, 'tmp') };
  const calls = CALLS.map(([name, args], i) => toolCall(100 + i, name, args));
  const old = await exchange([...calls, toolCall(99, 'scan_top_files', {})], { env });
  const modern = await exchange([init(1, '2025-11-25'), request(2, 'tools/list'), ...calls, toolCall(99, 'scan_top_files', {})], { env });
  const validate = validators(modern.replies[1].result.tools);
  CALLS.forEach(([name], i) => {
    const before = old.replies[i].result;
    const now = modern.replies[i + 2].result;
    assert.equal(before.structuredContent, undefined);
    checkStructured(validate, name, now);
    // Machine readings may move between two runs; the scans of our tree may not.
    if (!['list_disks', 'disk_health', 'scan_junk'].includes(name)) assert.deepEqual(now.content, before.content, name);
  });
  // Errors carry no structured copy in either session.
  assert.deepEqual(modern.replies.at(-1).result, old.replies.at(-1).result);
  assert.equal(modern.replies.at(-1).result.structuredContent, undefined);
});

test('cut replies: both copies list the same prefix, the structured one marked, an array reply says so after the footer', async () => {
  // The client's own id leaves little room: lists give way, on both lanes.
  const id = 'i'.repeat(997_000);
  const calls = [toolCall(id, 'scan_top_files', { path: serverPath(data), top_n: 30 })];
  const whole = await exchange([toolCall(1, 'scan_top_files', { path: serverPath(data), top_n: 30 })]);
  const all = jsonOf(whole.replies[0].result.content[0].text);
  const old = await exchange(calls);
  const modern = await exchange([init(1, '2025-11-25'), request(2, 'tools/list'), ...calls]);
  const validate = validators(modern.replies[1].result.tools);
  for (const [reply, structured] of [[old.replies[0], false], [modern.replies[2], true]]) {
    assert.equal(reply.id, id);
    const text = reply.result.content[0].text;
    const listed = jsonOf(text);
    assert.ok(listed.length > 0 && listed.length < all.length, `${listed.length} of ${all.length} listed`);
    assert.deepEqual(listed, all.slice(0, listed.length));
    assert.equal(noteOf(text), `Only ${listed.length} of the ${all.length} files found are listed: the rest did not fit in one reply.`);
    if (structured) {
      checkStructured(validate, 'scan_top_files', reply.result);
      assert.equal(reply.result.structuredContent.truncated, true);
      assert.equal(reply.result.structuredContent.omitted_count, all.length - listed.length);
    } else {
      assert.equal(reply.result.structuredContent, undefined);
    }
  }
  for (const line of [...old.lines, ...modern.lines.slice(2)]) assert.ok(Buffer.byteLength(line) <= 1_000_000, `${Buffer.byteLength(line)} bytes`);
});

test('progress in a modern session says what was done; a one-disk health report sends it while smartctl runs', async (t) => {
  const withToken = (line, token) => line.replace('"params":{', `"params":{"_meta":{"progressToken":"${token}"},`);
  const slow = path.join(root, 'slow');
  for (let d = 0; d < 10; d++) {
    fs.mkdirSync(path.join(slow, `d${d}`), { recursive: true });
    for (let f = 0; f < 50; f++) fs.writeFileSync(path.join(slow, `d${d}`, `f${f}`), 'x');
  }
  const lines = [init(1, '2025-11-25'), withToken(toolCall(2, 'scan_top_files', { path: serverPath(slow) }), 'walk')];
  // A smartctl that takes its time, for the one disk sysfs lists here.
  const fakeBin = path.join(root, 'bin');
  fs.mkdirSync(fakeBin);
  fs.writeFileSync(path.join(fakeBin, 'smartctl'), '#!/bin/sh\nsleep 1.5\necho "{}"\n', { mode: 0o755 });
  const disks = ON_WINE ? [] : fs.readdirSync('/sys/block').filter((n) => !/^(loop|ram|zram|dm-|md|nbd|sr|fd)/.test(n));
  const realSmartctl = ['/usr/sbin', '/sbin', '/usr/bin', '/bin', '/usr/local/sbin'].some((d) => fs.existsSync(path.join(d, 'smartctl')));
  const health = disks.length === 1 && !realSmartctl;
  if (health) lines.push(withToken(toolCall(3, 'disk_health', {}), 'disks'));
  else t.diagnostic('not one disk with no smartctl of its own here: the health case is skipped');
  const run = await exchange(lines, { env: { CORVANE_TEST_ENTRY_PAUSE_US: '3000', PATH: `${fakeBin}:${process.env.PATH}` } });
  const notes = (token) => run.replies.filter((m) => m.method === 'notifications/progress' && m.params.progressToken === token);
  const walk = notes('walk');
  assert.ok(walk.length >= 2, `${walk.length} notifications`);
  for (const { params } of walk) {
    assert.match(params.message, /^Listed [\d,]+ entr(y|ies)$/);
    if (Number.isInteger(params.progress)) assert.equal(Number(params.message.replace(/\D/g, '')), params.progress);
  }
  if (health) {
    const during = notes('disks');
    assert.ok(during.length >= 2, `${during.length} notifications during a 1.5 s smartctl run`);
    for (const { params } of during) {
      assert.equal(params.total, 1);
      assert.equal(params.message, params.progress < 1 ? 'Reading SMART data of disk 1 of 1' : 'Read SMART data of disk 1 of 1');
    }
    assert.equal(run.replies.at(-1).id, 3);
  }
});
