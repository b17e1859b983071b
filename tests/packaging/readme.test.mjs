// Every example reply in the README is what the current build prints.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { resolve } from 'node:path';
import { sameShape, staleExamples } from '../../scripts/readme-examples.mjs';

test('README examples match the current build', () => {
  const server = resolve(new URL('../../build/release/corvane-mcp', import.meta.url).pathname);
  assert.deepEqual(staleExamples(server), []);
});

test('a machine-dependent answer is compared by its keys, and an empty list has every shape', () => {
  const disk = { available_bytes: 1, file_system: 'ext4', is_removable: false, mount_point: '/', name: '' };
  // A container whose root is an overlay lists no disks at all.
  assert.equal(sameShape([disk], []), true);
  assert.equal(sameShape([disk], [{ ...disk, name: 'DATA', available_bytes: 7 }]), true);
  // A counter that is null here and a number there is still the same shape.
  assert.equal(sameShape({ categories: [], total_size: 0 }, { categories: [{ id: 'logs' }], total_size: null }), true);
  assert.equal(sameShape([disk], [{ ...disk, extra: 1 }]), false);
  assert.equal(sameShape([disk], [{ mount_point: '/' }]), false);
  assert.equal(sameShape([disk], {}), false);
  assert.equal(sameShape({ categories: [] }, { categories: 3 }), false);
});
