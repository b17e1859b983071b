// Makes both MCP Bundles and opens each as a desktop host would: the mcpb
// CLI's validation of the unpacked manifest, what the manifest promises (the
// catalogue as the source defines it, the version, the platform, an entry
// point that exists and runs) and the server inside answering initialize.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, readdirSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join, relative } from 'node:path';
import { PLATFORMS, ROOT, askServer, makeBundle, mcpb, projectVersion } from '../../scripts/make-bundle.mjs';

const VERSION = projectVersion();

// The reviewed catalogue, the tools/list reply the end-to-end suite holds the
// source's server to byte for byte, so a bundle made from a stale build, or a
// manifest writer that drops or rewrites a tool, shows up here.
function reviewedCatalogue() {
  const line = readFileSync(join(ROOT, 'tests/e2e/golden/tools_list.line'), 'utf8');
  return JSON.parse(line).result.tools.map(({ name, description }) => ({ name, description }));
}

function filesUnder(dir) {
  const out = [];
  const stack = [dir];
  while (stack.length) {
    const d = stack.pop();
    for (const e of readdirSync(d, { withFileTypes: true })) {
      if (e.isDirectory()) stack.push(join(d, e.name));
      else out.push(relative(dir, join(d, e.name)));
    }
  }
  return out.sort();
}

for (const platform of ['linux', 'windows']) {
  test(`the ${platform} bundle validates, unpacks to what its manifest promises, and its server answers`, (t) => {
    const p = PLATFORMS[platform];
    const out = mkdtempSync(join(tmpdir(), `corvane-mcpb-${platform}-`));
    t.after(() => rmSync(out, { recursive: true, force: true }));

    const bundle = makeBundle(platform, out);
    assert.equal(basename(bundle), `corvane-mcp-${VERSION}-${platform}-x64.mcpb`);
    const dir = join(out, 'unpacked');
    mcpb('unpack', bundle, dir);
    assert.deepEqual(filesUnder(dir), ['LICENSE', 'manifest.json', `server/${p.file}`]);
    mcpb('validate', join(dir, 'manifest.json'));

    const m = JSON.parse(readFileSync(join(dir, 'manifest.json'), 'utf8'));
    assert.equal(m.name, 'corvane');
    assert.equal(m.version, VERSION);
    assert.equal(m.license, 'MIT');
    assert.equal(m.homepage, 'https://corvane.app');
    assert.equal(m.author.name, 'Corvane');
    assert.ok(m.description.length > 20, m.description);
    assert.deepEqual(m.compatibility, { platforms: [p.os] });
    assert.equal(m.server.type, 'binary');
    assert.equal(m.server.entry_point, `server/${p.file}`);
    assert.deepEqual(m.server.mcp_config, { command: `\${__dirname}/server/${p.file}`, args: [], env: {} });
    assert.deepEqual(m.tools, reviewedCatalogue());
    assert.equal(m.tools.length, 10);

    // A host runs the entry point as it was unpacked: it must still be executable.
    const entry = join(dir, m.server.entry_point);
    if (platform === 'linux') assert.equal(statSync(entry).mode & 0o111, 0o111, 'entry point lost its execute bits');
    const { serverInfo, tools } = askServer(p.runner[0] ?? entry, p.runner.length ? [entry] : []);
    assert.deepEqual(serverInfo, { name: 'corvane', version: VERSION });
    assert.deepEqual(tools.map(({ name, description }) => ({ name, description })), m.tools);
  });
}

test('a bundle is refused when the built server and CMakeLists.txt disagree on the version', (t) => {
  const out = mkdtempSync(join(tmpdir(), 'corvane-mcpb-stale-'));
  t.after(() => rmSync(out, { recursive: true, force: true }));
  assert.throws(() => makeBundle('linux', out, { version: '99.0.0' }), /announces version .* says 99\.0\.0/);
  assert.deepEqual(readdirSync(out), []);
  assert.throws(() => projectVersion(join(ROOT, 'README.md')), /no project\(corvane_mcp VERSION/);
});
