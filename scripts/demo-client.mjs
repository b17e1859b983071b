// A real MCP client session against the server, printed for a person to read:
// initialize, tools/list, then one call of every tool in the catalogue.
//
// Usage: node scripts/demo-client.mjs SERVER_BINARY [DIRECTORY]
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { homedir } from 'node:os';

const [server, dir = homedir()] = process.argv.slice(2);
if (!server) {
  console.error('usage: node scripts/demo-client.mjs SERVER_BINARY [DIRECTORY]');
  process.exit(2);
}
const MAX_LINES = 40;
const LONG_CALL = { timeout: 30 * 60 * 1000 };  // a scan of a large tree takes a while

function show(title, text) {
  console.log(`\n\x1b[1m--- ${title}\x1b[0m`);
  const lines = text.split('\n');
  console.log(lines.slice(0, MAX_LINES).join('\n'));
  if (lines.length > MAX_LINES) console.log(`... (${lines.length - MAX_LINES} more lines)`);
}

async function call(client, name, args) {
  const started = Date.now();
  const result = await client.callTool({ name, arguments: args }, undefined, LONG_CALL);
  const ms = Date.now() - started;
  show(`tools/call ${name} ${JSON.stringify(args)}  (${ms} ms${result.isError ? ', isError' : ''})`, result.content[0].text);
  return result;
}

const transport = new StdioClientTransport({ command: server, args: [] });
const client = new Client({ name: 'corvane-demo', version: '1.0.0' });
await client.connect(transport);

show('initialize', JSON.stringify({
  serverInfo: client.getServerVersion(),
  capabilities: client.getServerCapabilities(),
  instructions: client.getInstructions(),
}, null, 2));

const { tools } = await client.listTools();
show('tools/list', tools.map((t) => `${t.name}: ${t.description}`).join('\n'));

await call(client, 'list_disks', {});
await call(client, 'disk_health', {});
await call(client, 'scan_junk', {});
const top = await call(client, 'scan_top_files', { path: dir, top_n: 10 });
await call(client, 'scan_folder_sizes', { path: dir, depth: 1 });
await call(client, 'scan_empty_files', { path: dir });
await call(client, 'scan_empty_folders', { path: dir });
// The copy finder looks for copies of the largest file it was shown.
let seed = null;
if (!top.isError) {
  try { seed = JSON.parse(top.content[0].text.split('\n\n---\n')[0])[0]?.path ?? null; } catch { seed = null; }
}
await call(client, 'find_copies', { seed_path: seed ?? `${dir}/no-seed-found`, search_dirs: [dir] });
await call(client, 'find_duplicates', { search_dirs: [dir] });
await call(client, 'get_corvane_app', {});
await client.ping();
console.log('\nping: ok');
await client.close();
