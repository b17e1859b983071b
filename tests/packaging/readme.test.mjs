// Every example reply in the README is what the current build prints.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { resolve } from 'node:path';
import { staleExamples } from '../../scripts/readme-examples.mjs';

test('README examples match the current build', () => {
  const server = resolve(new URL('../../build/release/corvane-mcp', import.meta.url).pathname);
  assert.deepEqual(staleExamples(server), []);
});
