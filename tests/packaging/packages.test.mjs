// Builds both packages from the release and windows builds and checks what
// a user would unpack: the file list, the version, and a server that answers.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, readdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const ROOT = resolve(new URL('../..', import.meta.url).pathname);
const VERSION = '1.4.1';
const INIT = '{"jsonrpc":"2.0","id":1,"method":"initialize"}\n';

function cpack(preset) {
  execFileSync('cpack', ['--preset', preset], { cwd: ROOT, stdio: ['ignore', 'ignore', 'inherit'] });
}

function answersInitialize(command, args) {
  const run = spawnSync(command, args, { input: INIT, timeout: 120000 });
  assert.equal(run.status, 0, `${command} exited with ${run.status}`);
  const reply = JSON.parse(run.stdout.toString().trim());
  assert.deepEqual(reply.result.serverInfo, { name: 'corvane', version: VERSION });
}

test('the Debian package installs /usr/bin/corvane-mcp and recommends smartmontools', (t) => {
  cpack('deb');
  const deb = join(ROOT, 'build/release/packages', `corvane-mcp_${VERSION}_amd64.deb`);
  const files = execFileSync('dpkg-deb', ['-c', deb]).toString()
    .split('\n').filter((l) => l && !l.endsWith('/')).map((l) => l.split(/\s+/).pop()).sort();
  assert.deepEqual(files, [
    './usr/bin/corvane-mcp',
    './usr/share/doc/corvane-mcp/CHANGELOG.md',
    './usr/share/doc/corvane-mcp/LICENSE',
    './usr/share/doc/corvane-mcp/README.md',
  ]);
  const field = (name) => execFileSync('dpkg-deb', ['-f', deb, name]).toString().trim();
  assert.equal(field('Package'), 'corvane-mcp');
  assert.equal(field('Version'), VERSION);
  assert.equal(field('Recommends'), 'smartmontools');
  const dir = mkdtempSync(join(tmpdir(), 'corvane-deb-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  execFileSync('dpkg-deb', ['-x', deb, dir]);
  answersInitialize(join(dir, 'usr/bin/corvane-mcp'), []);
});

test('the Windows ZIP holds the static exe, README, licence and changelog', (t) => {
  cpack('zip');
  const zip = join(ROOT, 'build/windows/packages', `corvane-mcp-${VERSION}-windows-x64.zip`);
  const dir = mkdtempSync(join(tmpdir(), 'corvane-zip-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  execFileSync('cmake', ['-E', 'tar', 'xf', zip], { cwd: dir });
  assert.deepEqual(readdirSync(dir).sort(), ['CHANGELOG.md', 'LICENSE', 'README.md', 'corvane-mcp.exe']);
  // Static: the exe needs no DLL beyond the system's own.
  const imports = execFileSync('x86_64-w64-mingw32-objdump', ['-p', join(dir, 'corvane-mcp.exe')]).toString()
    .split('\n').filter((l) => l.includes('DLL Name:')).map((l) => l.split(':')[1].trim().toLowerCase());
  for (const dll of imports) assert.doesNotMatch(dll, /libstdc|libgcc|libwinpthread|libcrypto/, dll);
  answersInitialize(join(ROOT, 'build/windows/wine-run.sh'), [join(dir, 'corvane-mcp.exe')]);
});
