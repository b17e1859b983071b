// Starts the built server (directly, or through the Wine wrapper on the
// Windows lane) and talks to it over its pipes.
import { spawn } from 'node:child_process';

export const BIN = process.env.CORVANE_BIN;
export const RUNNER = process.env.CORVANE_RUNNER || '';
export const ON_WINE = RUNNER !== '';
if (!BIN) throw new Error('CORVANE_BIN must name the server binary');

// Runs the server with `input` (string or Buffer) on stdin, closes stdin and
// resolves with { code, stdout (Buffer), stderr (string), lines }. `argv`,
// when given, is a command that ends by running the server itself.
export function runServer(input, { env, timeoutMs = 120000, argv } = {}) {
  return new Promise((resolve, reject) => {
    const [cmd, args] = argv ? [argv[0], argv.slice(1)] : RUNNER ? [RUNNER, [BIN]] : [BIN, []];
    const child = spawn(cmd, args, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
    const out = [];
    let err = '';
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`server did not exit within ${timeoutMs} ms`));
    }, timeoutMs);
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => { err += d; });
    child.on('error', reject);
    child.on('close', (code) => {
      clearTimeout(timer);
      const stdout = Buffer.concat(out);
      const text = stdout.toString('utf8');
      const lines = text === '' ? [] : text.replace(/\n$/, '').split('\n');
      resolve({ code, stdout, stderr: wineNoiseRemoved(err), lines });
    });
    child.stdin.on('error', () => {});  // the server may exit before reading it all
    child.stdin.end(input);
  });
}

// Wine may announce prefix creation on stderr; that is Wine's, not ours.
function wineNoiseRemoved(text) {
  if (!ON_WINE) return text;
  return text.split('\n').filter((l) => l !== '' && !/wine|syswow64|rundll32/i.test(l)).join('\n');
}

// A server kept running (argv: a wrapper to start it through), whose output
// lines are collected as they come, each with the time it arrived.
export function startServer(env, { argv } = {}) {
  const [cmd, args] = argv ? [argv[0], argv.slice(1)] : RUNNER ? [RUNNER, [BIN]] : [BIN, []];
  const child = spawn(cmd, args, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
  const lines = [];
  const waiters = [];
  let partial = '';
  child.stdout.on('data', (d) => {
    const parts = (partial + d).split('\n');
    partial = parts.pop();
    for (const p of parts) lines.push({ at: Date.now(), message: JSON.parse(p) });
    for (const w of waiters.splice(0)) w();
  });
  child.stdin.on('error', () => {});
  const exited = new Promise((resolve) => child.on('close', (code) => resolve({ code, partial })));
  const until = (done, ms = 60000) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`waited ${ms} ms; got ${JSON.stringify(lines).slice(0, 2000)}`)), ms);
    const check = () => {
      if (done(lines)) {
        clearTimeout(timer);
        resolve();
      } else {
        waiters.push(check);
      }
    };
    check();
  });
  return { child, send: (text) => child.stdin.write(text + '\n'), end: () => child.stdin.end(), lines, until, exited };
}

export function request(id, method, params) {
  const msg = { jsonrpc: '2.0', id, method };
  if (params !== undefined) msg.params = params;
  return JSON.stringify(msg);
}

export function toolCall(id, name, args) {
  return request(id, 'tools/call', args === undefined ? { name } : { name, arguments: args });
}

// Sends requests (one per line) and returns the parsed replies in order.
export async function exchange(lines, options) {
  const run = await runServer(lines.join('\n') + '\n', options);
  return { ...run, replies: run.lines.map((l) => JSON.parse(l)) };
}

// The text and isError of a tools/call reply.
export function toolText(reply) {
  return { text: reply.result.content[0].text, isError: reply.result.isError };
}

// Compact JSON with keys sorted recursively, to compare with what the
// server writes.
export function sortedCompact(value) {
  if (Array.isArray(value)) return '[' + value.map(sortedCompact).join(',') + ']';
  if (value !== null && typeof value === 'object') {
    const keys = Object.keys(value).sort((a, b) => (Buffer.from(a) < Buffer.from(b) ? -1 : a === b ? 0 : 1));
    return '{' + keys.map((k) => JSON.stringify(k) + ':' + sortedCompact(value[k])).join(',') + '}';
  }
  return JSON.stringify(value);
}
