// The README's example replies, taken from a run of the built server.
//
//   node scripts/readme-examples.mjs write [SERVER]   refresh them in README.md
//   node scripts/readme-examples.mjs check [SERVER]   exit 1 if any is stale
//
// The directory tools and the copy finder run on a fixture with fixed
// names, sizes and times, so their examples must match to the byte. The
// machine's own answers (volumes, disks, junk) differ from machine to
// machine; for those the example must have the same shape: the same keys
// at every level.
import { spawnSync } from 'node:child_process';
import { mkdirSync, writeFileSync, readFileSync, rmSync, utimesSync, truncateSync } from 'node:fs';
import { join, resolve } from 'node:path';

const ROOT = resolve(new URL('..', import.meta.url).pathname);
const FIXTURE = '/tmp/corvane-readme-example';
const README = join(ROOT, 'README.md');

function buildFixture() {
  rmSync(FIXTURE, { recursive: true, force: true });
  const files = {
    'Projects/report.pdf': Buffer.alloc(1_200_000, 0x72),
    'Backup/report (1).pdf': Buffer.alloc(1_200_000, 0x72),
    'Projects/draft.pdf': Buffer.alloc(900_000, 0x64),
    'Projects/video.mp4': null,  // sparse, below
    'notes/todo.txt': 'buy milk\n',
    'notes/empty.txt': '',
    'home/.cache/thumbnails/normal/3f2a.png': Buffer.alloc(20_000, 1),
    'home/.cache/pip/http/wheel.bin': Buffer.alloc(350_000, 2),
    'home/Downloads/.DS_Store': Buffer.alloc(6_148, 3),
  };
  for (const [rel, data] of Object.entries(files)) {
    mkdirSync(join(FIXTURE, rel, '..'), { recursive: true });
    writeFileSync(join(FIXTURE, rel), data ?? '');
  }
  truncateSync(join(FIXTURE, 'Projects/video.mp4'), 48_000_000);
  mkdirSync(join(FIXTURE, 'notes/archive/2019'), { recursive: true });
  const when = new Date('2026-11-30T09:00:00Z');
  for (const rel of Object.keys(files)) utimesSync(join(FIXTURE, rel), when, when);
}

const F = (rel) => join(FIXTURE, rel);
const EXAMPLES = [
  { tool: 'list_disks', args: {}, exact: false },
  { tool: 'disk_health', args: {}, exact: false },
  { tool: 'scan_junk', args: {}, exact: false },
  { tool: 'scan_top_files', args: { path: F('Projects'), top_n: 3 }, exact: true },
  { tool: 'scan_folder_sizes', args: { path: FIXTURE, depth: 2, top_n: 3 }, exact: true },
  { tool: 'scan_empty_files', args: { path: F('notes') }, exact: true },
  { tool: 'scan_empty_folders', args: { path: F('notes') }, exact: true },
  { tool: 'find_copies', args: { seed_path: F('Projects/report.pdf'), search_dirs: [F('Projects'), F('Backup')] }, exact: true },
  { tool: 'find_duplicates', args: { search_dirs: [F('Projects'), F('Backup'), F('notes')] }, exact: true },
  { tool: 'get_corvane_app', args: {}, exact: true },
];

// Ties in listing order would make the directory examples depend on the
// file system, so the fixture has none.

// Keeps long machine-dependent answers short: at most two elements per array.
function trimmed(value) {
  if (Array.isArray(value)) return value.slice(0, 2).map(trimmed);
  if (value && typeof value === 'object') return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, trimmed(v)]));
  return value;
}

// Whether a machine's answer has the example's shape: the same keys at every
// level. A leaf's type is left out, since a counter that is null on one
// machine is a number on another, and an element's shape is compared only
// where both lists have one: a container whose root is no block device
// rightly lists no disks.
export function sameShape(example, answer) {
  const kind = (v) => (Array.isArray(v) ? 'array' : v && typeof v === 'object' ? 'object' : 'leaf');
  if (kind(example) !== kind(answer)) return false;
  if (kind(example) === 'array') return !example.length || !answer.length || sameShape(example[0], answer[0]);
  if (kind(example) === 'object') {
    const keys = Object.keys(example).sort();
    if (JSON.stringify(keys) !== JSON.stringify(Object.keys(answer).sort())) return false;
    return keys.every((k) => sameShape(example[k], answer[k]));
  }
  return true;
}

function run(server) {
  buildFixture();
  const input = EXAMPLES.map((e, i) =>
    JSON.stringify({ jsonrpc: '2.0', id: i + 1, method: 'tools/call', params: { name: e.tool, arguments: e.args } })).join('\n') + '\n';
  const home = join(FIXTURE, 'home');
  const env = { ...process.env, HOME: home, XDG_CACHE_HOME: join(home, '.cache'), XDG_STATE_HOME: join(home, '.local/state'), TMPDIR: join(home, 'tmp') };
  const out = spawnSync(server, [], { input, maxBuffer: 64 * 1024 * 1024, env });
  rmSync(FIXTURE, { recursive: true, force: true });
  if (out.status !== 0) throw new Error(`server exited with ${out.status}`);
  const replies = out.stdout.toString().trim().split('\n').map((l) => JSON.parse(l));
  return EXAMPLES.map((e, i) => {
    const text = replies[i].result.content[0].text.split('\n\n---\n')[0];
    const value = JSON.parse(text);
    return { ...e, text: e.exact ? text : JSON.stringify(trimmed(value), null, 2), value };
  });
}

const block = (e) => `<!-- example ${e.tool} -->\n\`\`\`json\n${e.text}\n\`\`\`\n<!-- /example -->`;
const pattern = (tool) => new RegExp(`<!-- example ${tool} -->\\n\`\`\`json\\n([\\s\\S]*?)\\n\`\`\`\\n<!-- /example -->`);

export function staleExamples(server) {
  const readme = readFileSync(README, 'utf8');
  const stale = [];
  for (const e of run(server)) {
    const m = readme.match(pattern(e.tool));
    if (!m) { stale.push(`${e.tool}: no example in README.md`); continue; }
    const same = e.exact ? m[1] === e.text : sameShape(JSON.parse(m[1]), e.value);
    if (!same) stale.push(`${e.tool}: the README's example differs from what the server prints`);
  }
  return stale;
}

if (process.argv[1] === new URL(import.meta.url).pathname) {
  const [mode, server = join(ROOT, 'build/release/corvane-mcp')] = process.argv.slice(2);
  if (mode === 'write') {
    let readme = readFileSync(README, 'utf8');
    for (const e of run(server)) {
      if (!pattern(e.tool).test(readme)) throw new Error(`README.md has no example slot for ${e.tool}`);
      readme = readme.replace(pattern(e.tool), () => block(e));
    }
    writeFileSync(README, readme);
  } else if (mode === 'check') {
    const stale = staleExamples(server);
    for (const s of stale) console.error(s);
    process.exit(stale.length ? 1 : 0);
  } else {
    console.error('usage: node scripts/readme-examples.mjs write|check [SERVER]');
    process.exit(2);
  }
}
