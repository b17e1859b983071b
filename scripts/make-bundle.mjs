// Makes the MCP Bundle (.mcpb) of a built server: the file a desktop host
// installs in one click. The manifest is written from the two sources that
// cannot drift: the version in CMakeLists.txt and the built server's own
// initialize and tools/list answers. The mcpb CLI validates and packs it.
//
// Usage: node scripts/make-bundle.mjs linux|windows [OUT_DIR]
//   linux    build/release/corvane-mcp       (./dev build release)
//   windows  build/windows/corvane-mcp.exe   (./dev build windows; asked under Wine)
//   OUT_DIR  default build/bundles; the bundle is corvane-mcp-VERSION-PLATFORM-x64.mcpb
import { execFileSync, spawnSync } from 'node:child_process';
import { chmodSync, copyFileSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const ROOT = resolve(fileURLToPath(new URL('..', import.meta.url)));
export const MCPB = join(ROOT, 'node_modules/@anthropic-ai/mcpb/dist/cli/cli.js');

export const PLATFORMS = {
  linux: {
    os: 'linux',
    binary: join(ROOT, 'build/release/corvane-mcp'),
    runner: [],
    file: 'corvane-mcp',
    strip: 'strip',
  },
  windows: {
    os: 'win32',
    binary: join(ROOT, 'build/windows/corvane-mcp.exe'),
    runner: [join(ROOT, 'build/windows/wine-run.sh')],
    file: 'corvane-mcp.exe',
    strip: 'x86_64-w64-mingw32-strip',
  },
};

// The one place the version is defined.
export function projectVersion(cmakeLists = join(ROOT, 'CMakeLists.txt')) {
  const match = /project\(\s*corvane_mcp\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)/.exec(readFileSync(cmakeLists, 'utf8'));
  if (!match) throw new Error(`no project(corvane_mcp VERSION ...) in ${cmakeLists}`);
  return match[1];
}

// Runs the server once with initialize and tools/list on its input.
export function askServer(command, args = []) {
  const input = [
    { jsonrpc: '2.0', id: 1, method: 'initialize' },
    { jsonrpc: '2.0', id: 2, method: 'tools/list' },
  ].map((m) => `${JSON.stringify(m)}\n`).join('');
  const run = spawnSync(command, args, { input, timeout: 120000, maxBuffer: 16 << 20 });
  if (run.error) throw run.error;
  if (run.status !== 0) throw new Error(`${command} exited with ${run.status}: ${run.stderr}`);
  const replies = run.stdout.toString().split('\n').filter((l) => l.trim()).map((l) => JSON.parse(l));
  const byId = new Map(replies.map((r) => [r.id, r]));
  const serverInfo = byId.get(1)?.result?.serverInfo;
  const tools = byId.get(2)?.result?.tools;
  if (!serverInfo || !Array.isArray(tools)) throw new Error(`${command} did not answer initialize and tools/list`);
  return { serverInfo, tools };
}

export function manifest({ platform, version, serverInfo, tools }) {
  const p = PLATFORMS[platform];
  if (serverInfo.version !== version) {
    throw new Error(`the server announces version ${serverInfo.version}, CMakeLists.txt says ${version}: rebuild it`);
  }
  return {
    manifest_version: '0.3',
    name: serverInfo.name,
    display_name: 'Corvane MCP',
    version,
    description: 'Read-only disk analysis: volumes, disk health, junk, the largest files, empty files and folders, and copies of a file.',
    long_description: 'Lists mounted volumes and the health of each physical disk, measures reclaimable junk, and finds the largest files, empty files and folders, and identical or similar copies of a file. Every tool only reads: nothing is deleted, moved or written. Acting on the results is the job of the Corvane desktop app.',
    author: { name: 'Corvane', url: 'https://corvane.app' },
    homepage: 'https://corvane.app',
    support: 'https://corvane.app',
    license: 'MIT',
    keywords: ['disk', 'storage', 'cleanup', 'duplicates', 'smart', 'read-only'],
    server: {
      type: 'binary',
      entry_point: `server/${p.file}`,
      mcp_config: { command: `\${__dirname}/server/${p.file}`, args: [], env: {} },
    },
    tools: tools.map(({ name, description }) => ({ name, description })),
    tools_generated: false,
    prompts_generated: false,
    compatibility: { platforms: [p.os] },
  };
}

export function mcpb(...args) {
  return execFileSync(process.execPath, [MCPB, ...args], { cwd: ROOT, stdio: ['ignore', 'pipe', 'pipe'] }).toString();
}

// Stages, validates and packs one platform's bundle; returns its path.
export function makeBundle(platform, outDir = join(ROOT, 'build/bundles'), overrides = {}) {
  const p = { ...PLATFORMS[platform], ...overrides };
  if (!p.os) throw new Error(`unknown platform ${platform} (linux or windows)`);
  const version = overrides.version ?? projectVersion();
  const { serverInfo, tools } = askServer(p.runner[0] ?? p.binary, p.runner.length ? [p.binary] : []);
  const data = manifest({ platform, version, serverInfo, tools });

  const name = `corvane-mcp-${version}-${platform}-x64`;
  const stage = join(outDir, name);
  rmSync(stage, { recursive: true, force: true });
  mkdirSync(join(stage, 'server'), { recursive: true });
  const entry = join(stage, 'server', p.file);
  copyFileSync(p.binary, entry);
  execFileSync(p.strip, [entry]);
  chmodSync(entry, 0o755);
  copyFileSync(join(ROOT, 'LICENSE'), join(stage, 'LICENSE'));
  writeFileSync(join(stage, 'manifest.json'), `${JSON.stringify(data, null, 2)}\n`);

  mcpb('validate', join(stage, 'manifest.json'));
  const bundle = join(outDir, `${name}.mcpb`);
  rmSync(bundle, { force: true });
  mcpb('pack', stage, bundle);
  return bundle;
}

if (process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const [platform, outDir] = process.argv.slice(2);
  if (!PLATFORMS[platform]) {
    console.error('usage: node scripts/make-bundle.mjs linux|windows [OUT_DIR]');
    process.exit(2);
  }
  try {
    console.log(makeBundle(platform, outDir ? resolve(outDir) : undefined));
  } catch (e) {
    console.error(`make-bundle: ${e.stderr?.toString().trim() || e.message}`);
    process.exit(1);
  }
}
