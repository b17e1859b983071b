// End-to-end: list_disks and disk_health through the real binary, on the
// machine the tests run on (natively, or under Wine).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { BIN, exchange, runServer, toolCall, toolText, ON_WINE } from './harness.mjs';

const FIXTURES = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'modules', 'disk_info', 'fixtures');
const FOOTER_START = '\n\n---\nThis is a read-only scan from the Corvane MCP server.';
const VOLUME_KEYS = ['available_bytes', 'file_system', 'is_removable', 'mount_point', 'name', 'total_bytes',
  'usage_ratio', 'used_bytes'];
const HEALTH_KEYS = ['device_id', 'disk_type', 'error', 'model', 'nand_writes_gb', 'power_on_hours',
  'reallocated_sectors', 'remaining_life_pct', 'serial', 'status', 'status_raw', 'temperature_celsius',
  'total_bytes_written_gb', 'wear_leveling_pct'];
const SYSTEM_SMARTCTL = ['/usr/sbin', '/sbin', '/usr/bin', '/bin', '/usr/local/sbin']
  .map((dir) => path.join(dir, 'smartctl'));

// Calls one tool and splits its text into the payload text and the footer.
async function callTool(name, args, env) {
  const run = await exchange([toolCall(1, name, args)], { env });
  assert.equal(run.code, 0);
  assert.equal(run.stderr, '');
  const { text, isError } = toolText(run.replies[0]);
  assert.equal(isError, false, text);
  const cut = text.indexOf(FOOTER_START);
  assert.ok(cut > 0, 'the footer follows the payload');
  assert.ok(text.endsWith('https://corvane.app/download'));
  const payloadText = text.slice(0, cut);
  return { payloadText, payload: JSON.parse(payloadText) };
}

test('list_disks lists volumes whose sizes add up, with the eight keys in byte order', async () => {
  const { payloadText, payload } = await callTool('list_disks', ['ignored', 'arguments']);
  assert.ok(Array.isArray(payload));
  for (const volume of payload) {
    assert.deepEqual(Object.keys(volume), VOLUME_KEYS);
    assert.equal(volume.used_bytes + volume.available_bytes, volume.total_bytes, volume.mount_point);
    assert.equal(typeof volume.is_removable, 'boolean');
  }
  // Ratios are written as floating-point numbers, 0.0 included.
  for (const ratio of payloadText.matchAll(/"usage_ratio": ([^,\n]+)/g)) assert.match(ratio[1], /[.eE]/);
  if (ON_WINE) return;  // Wine answers "unknown" for every volume's drive type

  const df = execFileSync('df', ['-B1', '--output=target,source,size', '/'], { encoding: 'utf8' }).trim().split('\n')[1];
  const [target, source, size] = df.trim().split(/\s+/);
  if (source.startsWith('/dev/') && !source.startsWith('/dev/loop')) {
    const root = payload.find((v) => v.mount_point === target);
    assert.ok(root, `the root file system on ${source} is listed`);
    assert.equal(root.total_bytes, Number(size));
    assert.equal(root.is_removable, false);
  }
});

// In a mount namespace of its own, as root: mounts that only pretend to be
// disks, or hide one, next to a root file system on a real block device.
const canMount = !ON_WINE && process.platform === 'linux' && process.getuid() === 0 &&
  spawnSync('unshare', ['-m', 'true']).status === 0;

test('list_disks knows disks by device number, not source text, and never waits on a mount that is none', { skip: !canMount }, async () => {
  const df = execFileSync('df', ['-B1', '--output=source', '/'], { encoding: 'utf8' }).trim().split('\n')[1].trim();
  const rootIsDisk = df.startsWith('/dev/') && !df.startsWith('/dev/loop');
  const source = rootIsDisk ? df : '/dev/sda1';
  const dir = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-mounts-')));
  try {
    // The FUSE mount's daemon is this shell, which never reads /dev/fuse:
    // anything that looks at the mount waits for ever.
    const script = `set -e
cd "${dir}"
mkdir fake-tmpfs hung-fuse covered odd "odd/$(printf '\\377')" "odd/$(printf '\\376')"
mount -t tmpfs "${source}" fake-tmpfs
if [ -c /dev/fuse ]; then
  exec 3<>/dev/fuse
  mount -t fuse -o fd=3,rootmode=40000,user_id=0,group_id=0 "${source}" hung-fuse
fi
mount --bind / covered
mount -t tmpfs tmpfs covered
mount --bind / "odd/$(printf '\\377')"
mount --bind / "odd/$(printf '\\376')"
exec "${BIN}"
`;
    const line = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'tools/call', params: { name: 'list_disks' } });
    const run = await runServer(line + '\n', { argv: ['unshare', '-m', 'sh', '-c', script], timeoutMs: 20000 });
    assert.equal(run.code, 0, run.stderr);
    assert.equal(run.stderr, '');
    const { text, isError } = toolText(JSON.parse(run.lines[0]));
    assert.equal(isError, false, text);
    const volumes = JSON.parse(text.slice(0, text.indexOf(FOOTER_START)));
    const ours = volumes.map((v) => v.mount_point).filter((p) => p.startsWith(dir + '/'));
    // tmpfs and FUSE whatever their source says, and the disk under the
    // tmpfs (that path shows the tmpfs): none is listed.
    if (rootIsDisk) {
      // Two binds whose paths differ only in bytes that are not UTF-8.
      assert.deepEqual(ours, [`${dir}/odd/\uFFFD`, `${dir}/odd/\uFFFD`]);
    } else {
      assert.deepEqual(ours, []);
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('disk_health answers one record per disk with all fourteen keys', async () => {
  const { payload } = await callTool('disk_health');
  assert.ok(Array.isArray(payload) && payload.length >= 1);
  for (const disk of payload) {
    assert.deepEqual(Object.keys(disk), HEALTH_KEYS);
    assert.ok(['good', 'warning', 'critical', 'unknown'].includes(disk.status));
    assert.ok(['NVMe', 'SSD', 'HDD', 'USB', 'Unknown'].includes(disk.disk_type));
  }
  if (ON_WINE) {
    // Wine's powershell.exe runs and prints nothing: the inventory is empty.
    assert.equal(payload.length, 1);
    assert.equal(payload[0].error, 'HEALTH_WMI_EMPTY');
    assert.equal(payload[0].device_id, '0');
  }
});

// Disks this machine's sysfs lists that disk_health reports.
function physicalDisks() {
  return fs.readdirSync('/sys/block')
    .filter((name) => !/^(loop|ram|zram|dm-|md|nbd|sr|fd)/.test(name))
    .filter((name) => Number(fs.readFileSync(`/sys/block/${name}/size`, 'utf8')) > 0)
    .sort();
}

const canUseStandIn = !ON_WINE && process.platform === 'linux' && !SYSTEM_SMARTCTL.some((p) => fs.existsSync(p));

test('disk_health on Linux reads counters from the smartctl on the search path', { skip: !canUseStandIn }, async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-smartctl-'));
  try {
    fs.copyFileSync(path.join(FIXTURES, 'smartctl'), path.join(dir, 'smartctl'));
    fs.chmodSync(path.join(dir, 'smartctl'), 0o755);
    const disks = physicalDisks();
    for (const name of disks) fs.copyFileSync(path.join(FIXTURES, 'smartctl-ata-ssd.json'), path.join(dir, `${name}.json`));

    const { payload } = await callTool('disk_health', {}, { PATH: `${dir}:/usr/bin:/bin` });
    if (disks.length === 0) {
      assert.equal(payload[0].error, 'HEALTH_SYSFS_EMPTY');
      return;
    }
    assert.deepEqual(payload.map((d) => d.device_id), disks);
    for (const disk of payload) {
      assert.equal(disk.error, null);
      assert.equal(disk.status_raw, 'OK');
      assert.equal(disk.status, 'good');
      assert.equal(disk.power_on_hours, 8123);
      assert.equal(disk.temperature_celsius, 31);
      assert.equal(disk.total_bytes_written_gb, 12009);
    }
    const calls = fs.readFileSync(path.join(dir, 'calls.log'), 'utf8');
    assert.equal(calls, disks.map((name) => `--json -a /dev/${name}\n`).join(''));

    // A smartctl that exits leaving a child of its own holding its output:
    // the report is complete the moment it exits.
    for (const name of disks) fs.writeFileSync(path.join(dir, `${name}.linger`), '');
    const started = Date.now();
    const lingering = (await callTool('disk_health', {}, { PATH: `${dir}:/usr/bin:/bin` })).payload;
    assert.ok(Date.now() - started < 10000, `disk_health took ${Date.now() - started} ms`);
    assert.deepEqual(lingering, payload);
    for (const name of disks) fs.rmSync(path.join(dir, `${name}.linger`));

    // Without smartctl anywhere, the sysfs fields stay and each disk says why.
    const empty = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-nopath-'));
    try {
      const bare = (await callTool('disk_health', {}, { PATH: empty })).payload;
      assert.deepEqual(bare.map((d) => d.device_id), disks);
      for (const disk of bare) {
        assert.equal(disk.error, 'HEALTH_SMARTCTL_UNAVAILABLE');
        assert.equal(disk.status_raw, 'Unknown');
        assert.equal(disk.power_on_hours, null);
      }
    } finally {
      fs.rmSync(empty, { recursive: true, force: true });
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
