// Adds up the test results of every lane and prints one closing line,
// "N passed, N failed" (", N skipped" when any were skipped). Exits 1 when
// anything failed or a lane produced no results.
//
// Usage: node scripts/summarize-results.mjs build/release build/asan ...
// Each lane folder holds test-results/: GoogleTest XML (one file per test
// program), Node test-runner JUnit files, and ctest.junit, ctest's own view,
// which catches a program that crashed before writing its XML.
import { readdirSync, readFileSync, existsSync } from 'node:fs';
import { join } from 'node:path';

const attr = (text, name) => Number((text.match(new RegExp(`\\b${name}="(\\d+)"`)) || [])[1] || 0);
const comment = (text, name) => Number((text.match(new RegExp(`<!-- ${name} (\\d+) -->`)) || [])[1] || 0);

function countFile(text) {
  if (/^<testsuites\b[^>]*\btests="/m.test(text)) {  // GoogleTest
    const head = text.match(/<testsuites\b[^>]*>/)[0];
    const skipped = (text.match(/<testcase\b[^>]*\bresult="skipped"/g) || []).length;
    const failed = attr(head, 'failures') + attr(head, 'errors');
    return { passed: attr(head, 'tests') - attr(head, 'disabled') - skipped - failed, failed, skipped };
  }
  return {  // Node's JUnit reporter
    passed: comment(text, 'pass'),
    failed: comment(text, 'fail') + comment(text, 'cancelled'),
    skipped: comment(text, 'skipped') + comment(text, 'todo'),
  };
}

let total = { passed: 0, failed: 0, skipped: 0 };
let lanesOk = true;
for (const lane of process.argv.slice(2)) {
  const dir = join(lane, 'test-results');
  const counts = { passed: 0, failed: 0, skipped: 0 };
  const perProgram = new Map();
  if (existsSync(dir)) {
    for (const name of readdirSync(dir)) {
      if (!name.endsWith('.xml')) continue;
      const c = countFile(readFileSync(join(dir, name), 'utf8'));
      perProgram.set(name.replace(/\.xml$/, ''), c);
      for (const k of Object.keys(counts)) counts[k] += c[k];
    }
  }
  // A ctest test without results of its own (a fuzz run) counts as one test.
  // One that failed while its own results show no failure (a crash, a
  // sanitizer report at exit, a timeout) counts as one more failure.
  const ctestFile = join(dir, 'ctest.junit');
  let programs = 0;
  if (existsSync(ctestFile)) {
    const text = readFileSync(ctestFile, 'utf8');
    for (const m of text.matchAll(/<testcase\b[^>]*\bname="([^"]+)"[^>]*?(\/>|>([\s\S]*?)<\/testcase>)/g)) {
      programs++;
      const failedHere = /<failure\b/.test(m[3] || '') || /status="fail"/.test(m[0]);
      const own = perProgram.get(m[1]);
      if (!own && !failedHere) counts.passed++;
      else if (failedHere && (!own || own.failed === 0)) counts.failed++;
    }
  }
  if (programs === 0 && counts.passed + counts.failed === 0) {
    console.log(`${lane}: no test results (the lane did not build or run)`);
    lanesOk = false;
    counts.failed++;
  } else {
    console.log(`${lane}: ${counts.passed} passed, ${counts.failed} failed, ${counts.skipped} skipped`);
  }
  for (const k of Object.keys(total)) total[k] += counts[k];
}

const tail = total.skipped ? `, ${total.skipped} skipped` : '';
console.log(`${total.passed} passed, ${total.failed} failed${tail}`);
process.exit(total.failed === 0 && lanesOk ? 0 : 1);
