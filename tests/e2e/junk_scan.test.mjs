// End-to-end: scan_junk through the real server, pointed at a fixture home
// by the environment.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { BIN, ON_WINE, RUNNER, toolCall } from './harness.mjs';

const FOOTER_START = '\n\n---\nThis is a read-only scan from the Corvane MCP server.';
const CATALOGUE = ['system_temp', 'package_cache', 'crash_dumps', 'os_metadata', 'browser_cache', 'app_cache',
  'thumbnails', 'logs', 'dev_artifacts'];

// The server under Wine sees the Linux tree through drive Z:.
const serverPath = (p) => (ON_WINE ? 'Z:' + p.replaceAll('/', '\\') : p);

// Where each category's junk goes in the home, per platform ('/'-separated).
const LAYOUT = ON_WINE
  ? { temp: 'home/AppData/Local/Temp', pkg: 'home/AppData/Local/npm-cache',
      browser: 'home/AppData/Local/Google/Chrome/User Data/Default/Cache', app: 'home/AppData/Local/D3DSCache',
      thumbs: 'home/AppData/Local/Microsoft/Windows/Explorer', logs: 'home/AppData/Local/Vendor' }
  : { temp: 'tmp', pkg: 'home/.npm/_cacache', browser: 'home/.cache/chromium/Default/Cache',
      app: 'home/.cache', thumbs: 'home/.cache/thumbnails', logs: 'home/.local/state/app' };

const root = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-e2e-junk-'));
fs.chmodSync(root, 0o755);
const put = (rel, size) => {
  const p = path.join(root, rel);
  fs.mkdirSync(path.dirname(p), { recursive: true });
  fs.writeFileSync(p, Buffer.alloc(size, 1));
};
const at = (rel) => serverPath(path.join(root, rel));
const deep = (n) => 'd/'.repeat(n);

put(`${LAYOUT.temp}/a.tmp`, 30);
put(`${LAYOUT.temp}/big/${deep(12)}x`, 500);  // the level limits are checked in the unit tests
put(`${LAYOUT.temp}/MEMORY.DMP`, 40);
put(`${LAYOUT.pkg}/content/blob`, 700);
put(`home/Desktop/${deep(16)}Thumbs.db`, 8);
put('home/Documents/album/thumbs.DB', 6);
put(`${LAYOUT.browser}/data_1`, 60);
put(`${LAYOUT.app}/shaders/s1`, 90);
put(`${LAYOUT.thumbs}/thumbcache_96.db`, 70);
put(`${LAYOUT.logs}/run.log`, 11);
put('home/Projects/web/node_modules/lib.js', 300);
put('home/Projects/web/node_modules/dep/node_modules/inner.js', 5);
put(`home/Projects/${deep(8)}build/out.o`, 3);

const HOME_VARS = ON_WINE
  ? { USERPROFILE: at('home'), LOCALAPPDATA: at('home/AppData/Local'), TEMP: at(LAYOUT.temp), TMP: at(LAYOUT.temp) }
  : { HOME: at('home'), XDG_CACHE_HOME: at('home/.cache'), XDG_STATE_HOME: at('home/.local/state'),
      TMPDIR: at(LAYOUT.temp) };
const PROFILE = ON_WINE ? 'USERPROFILE' : 'HOME';

function snapshot() {
  const out = {};
  const walk = (d) => {
    for (const e of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, e.name);
      const st = fs.lstatSync(p);
      out[p] = `${st.size} ${st.mtimeMs}`;
      if (e.isDirectory()) walk(p);
    }
  };
  walk(root);
  return out;
}

// Runs the server with `vars` in its environment (undefined: unset) and
// returns the reply texts. Wine sets USERPROFILE, LOCALAPPDATA, TEMP and TMP
// from its own profile over the Unix values, but a Windows parent's
// environment passes to its child unchanged: cmd sets them there.
function serverRun(vars, lines) {
  let cmd = BIN;
  let args = [];
  let env = { ...process.env, ...vars };
  if (ON_WINE) {
    const sets = Object.entries(vars).map(([k, v]) => `set ${k}=${v ?? ''}&& `).join('');
    [cmd, args, env] = [RUNNER, ['cmd', '/c', sets + serverPath(BIN)], process.env];
  }
  return new Promise((resolve, reject) => {
    const child = spawn(cmd, args, { env, stdio: ['pipe', 'pipe', 'ignore'] });
    const chunks = [];
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error('server did not exit')); }, 120000);
    child.stdout.on('data', (d) => chunks.push(d));
    child.on('error', reject);
    child.on('close', (code) => {
      clearTimeout(timer);
      assert.equal(code, 0);
      resolve(Buffer.concat(chunks).toString('utf8').trim().split('\n').map((l) => JSON.parse(l)));
    });
    child.stdin.end(lines.join('\n') + '\n');
  });
}

function payloadOf(reply) {
  assert.equal(reply.error, undefined);
  assert.equal(reply.result.isError, false);
  const text = reply.result.content[0].text;
  const cut = text.indexOf(FOOTER_START);
  assert.ok(cut > 0, 'the payload text ends with the footer');
  return JSON.parse(text.slice(0, cut));
}

// Shape, order and sums hold for every category, the machine's own
// folders (/var/log, C:\windows\Logs) included.
function checkPayload(payload) {
  assert.deepEqual(Object.keys(payload), ['categories', 'total_size']);
  const ids = payload.categories.map((c) => c.id);
  assert.deepEqual(ids, CATALOGUE.filter((id) => ids.includes(id)));
  let total = 0;
  for (const c of payload.categories) {
    assert.deepEqual(Object.keys(c), ['id', 'item_count', 'paths', 'safety', 'total_size']);
    assert.ok(c.paths.length > 0);
    assert.equal(c.item_count, c.paths.length);
    assert.equal(c.total_size, c.paths.reduce((s, p) => s + p.size, 0));
    for (let i = 1; i < c.paths.length; i++) assert.ok(c.paths[i - 1].size >= c.paths[i].size);
    for (const p of c.paths) assert.deepEqual(Object.keys(p), ['is_dir', 'path', 'size']);
    total += c.total_size;
  }
  assert.equal(payload.total_size, total);
  return Object.fromEntries(payload.categories.map((c) => [c.id, c]));
}

const inHome = (c) => (c ? c.paths.filter((p) => p.path.startsWith(serverPath(root))) : []);
const item = (c, rel) => inHome(c).find((p) => p.path === at(rel));

test('scan_junk measures every category of the fixture home and changes nothing', async () => {
  const before = snapshot();
  const [plain, withArguments] = await serverRun(HOME_VARS, [
    toolCall(1, 'scan_junk'),
    toolCall(2, 'scan_junk', { path: '/ignored', top_n: 3 }),
  ]);
  const cats = checkPayload(payloadOf(plain));
  assert.deepEqual(payloadOf(withArguments), payloadOf(plain));
  for (const id of CATALOGUE) assert.ok(inHome(cats[id]).length > 0, id);

  assert.deepEqual(inHome(cats.system_temp), [
    { is_dir: true, path: at(`${LAYOUT.temp}/big`), size: 500 },
    { is_dir: false, path: at(`${LAYOUT.temp}/MEMORY.DMP`), size: 40 },
    { is_dir: false, path: at(`${LAYOUT.temp}/a.tmp`), size: 30 },
  ]);
  assert.equal(cats.system_temp.safety, 'safe');
  assert.deepEqual(inHome(cats.crash_dumps), [{ is_dir: false, path: at(`${LAYOUT.temp}/MEMORY.DMP`), size: 40 }]);
  assert.deepEqual(inHome(cats.package_cache), [{ is_dir: true, path: at(`${LAYOUT.pkg}/content`), size: 700 }]);
  assert.deepEqual(inHome(cats.os_metadata).map((p) => p.path).sort(),
    [at(`home/Desktop/${deep(16)}Thumbs.db`), at('home/Documents/album/thumbs.DB')].sort());
  assert.equal(item(cats.browser_cache, `${LAYOUT.browser}/data_1`).size, 60);
  assert.equal(cats.browser_cache.safety, 'caution');
  assert.equal(item(cats.app_cache, `${LAYOUT.app}/shaders`).size, 90);
  assert.equal(item(cats.thumbnails, `${LAYOUT.thumbs}/thumbcache_96.db`).size, 70);
  assert.equal(item(cats.logs, `${LAYOUT.logs}/run.log`).size, 11);
  assert.deepEqual(inHome(cats.dev_artifacts), [
    { is_dir: true, path: at('home/Projects/web/node_modules'), size: 305 },
    { is_dir: true, path: at(`home/Projects/${deep(8)}build`), size: 3 },
  ]);
  assert.equal(cats.dev_artifacts.safety, 'risky');
  assert.deepEqual(snapshot(), before);
});

test('without the profile variable only the temporary and system folders are scanned', async () => {
  const [reply] = await serverRun({ ...HOME_VARS, [PROFILE]: undefined }, [toolCall(1, 'scan_junk')]);
  const cats = checkPayload(payloadOf(reply));
  const found = CATALOGUE.filter((id) => inHome(cats[id]).length > 0);
  assert.deepEqual(found, ['system_temp', 'crash_dumps']);
});

test.after(() => fs.rmSync(root, { recursive: true, force: true }));
