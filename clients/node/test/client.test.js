// Tests of the client against the real keytap binary (KEYTAP_BINARY), with a private Xvfb and
// the project's XTEST injector (KEYTAP_INJECT) for key events.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFile } from 'node:child_process';
import { mkdtemp, writeFile, chmod, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import { promisify } from 'node:util';

import { start, KeytapError } from '../index.js';
import commonjs from '../index.cjs';

const binary = process.env.KEYTAP_BINARY ?? new URL('../../../build/keytap', import.meta.url).pathname;
const injector = process.env.KEYTAP_INJECT ?? new URL('../../../build/tests/keytap-inject', import.meta.url).pathname;
const headless = { ...process.env };
delete headless.DISPLAY;

// X key codes of the evdev keymap.
const keys = { control: 37, shift: 50, k: 45, f5: 71 };

// Xvfb on the first free display; resolves with its name and a function that ends it.
async function startDisplay() {
  const server = spawn('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp'], {
    stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
  });
  let number = '';
  for await (const chunk of server.stdio[3]) {
    number += chunk;
    if (number.includes('\n')) break;
  }
  return { name: `:${number.trim()}`, stop: () => server.kill('SIGKILL') };
}

// A stand-in for keytap that writes the given shell commands' output.
async function fakeKeytap(script) {
  const dir = await mkdtemp(join(tmpdir(), 'keytap-client-'));
  const path = join(dir, 'fake-keytap');
  await writeFile(path, `#!/bin/sh\n${script}\n`);
  await chmod(path, 0o755);
  return { path, remove: () => rm(dir, { recursive: true, force: true }) };
}

const ready = '{"t":"ready","d":{"available":true,"permission":"denied"}}';
// No test may hang the suite, whatever goes wrong: each has a time limit, and every keytap a
// test started is ended by its PID at the end.
const limit = { timeout: 60000 };
const started = [];
async function launch(options) {
  const kt = await start(options);
  started.push(kt);
  return kt;
}
after(() => {
  for (const kt of started) kt._child.kill('SIGKILL');
});

test('without a display: denied, every reply, and a clean close', limit, async () => {
  const kt = await launch({ binary, noPrompt: true, env: headless });
  assert.equal(kt.permission, 'denied');
  await assert.rejects(kt.register('Cmd+K'), { name: 'KeytapError', code: 'forbidden', message: 'Input Monitoring denied' });
  await assert.rejects(kt.register('Cmd+Plus'), { code: 'bad_request', message: 'unknown accelerator: Cmd+Plus' });
  assert.equal(await kt.unregister('Cmd+K'), 'Cmd+K');
  await assert.rejects(kt.register(42), TypeError);
  assert.equal(await kt.close(), 0);
  await assert.rejects(kt.register('F5'), { code: 'exited' });
});

test('commands in flight settle in the order they were sent', limit, async () => {
  const kt = await launch({ binary, noPrompt: true, env: headless });
  const texts = Array.from({ length: 300 }, (_, i) => (i % 3 === 0 ? `F${(i % 20) + 1}` : `Cmd+K${'+'.repeat(i)}`));
  const outcomes = await Promise.allSettled(
    texts.map((text, i) => (i % 2 ? kt.unregister(text) : kt.register(text))),
  );
  outcomes.forEach((outcome, i) => {
    if (i % 2) assert.deepEqual(outcome, { status: 'fulfilled', value: texts[i] });
    else assert.equal(outcome.reason.code, 'forbidden');
  });
  assert.equal(await kt.close(), 0);
});

test('start rejects when the binary is missing or exits before ready', limit, async () => {
  await assert.rejects(start({ binary: '/nonexistent/keytap' }), { code: 'spawn' });
  await assert.rejects(start({ binary: '/bin/true' }), { code: 'exited' });
});

test('a crash rejects what is pending and reports the exit', limit, async () => {
  const kt = await launch({ binary, noPrompt: true, env: headless });
  const exited = once(kt, 'exit');
  const pending = Array.from({ length: 2000 }, (_, i) => kt.unregister(`K${i}`));
  process.kill(kt._child.pid, 'SIGKILL');
  const outcomes = await Promise.allSettled(pending);
  const [code, signal] = await exited;
  assert.equal(code, null);
  assert.equal(signal, 'SIGKILL');
  const firstRejected = outcomes.findIndex((outcome) => outcome.status === 'rejected');
  assert.ok(firstRejected >= 0, 'the kill came before every reply');
  for (const outcome of outcomes.slice(firstRejected)) {
    assert.equal(outcome.status, 'rejected');
    assert.ok(outcome.reason instanceof KeytapError);
    assert.equal(outcome.reason.code, 'exited');
  }
});

test('lines split across chunks are joined; malformed lines become error events', limit, async () => {
  const fake = await fakeKeytap(
    `printf '%s' '${ready.slice(0, 20)}'; sleep 0.1; printf '%s\\n' '${ready.slice(20)}'\n` +
      `read line; printf '{"t":"regis'; sleep 0.1; printf 'tered","d":{"accelerator":"\\\\u00e9"}}\\nnot json\\n[1]\\n'\n` +
      `printf '{"t":"down","d":{"accelerator":"F5","at":1.5}}\\n'; cat >/dev/null`,
  );
  let kt;
  try {
    kt = await launch({ binary: fake.path });
    assert.equal(kt.permission, 'denied');
    const errors = [];
    kt.on('error', (error) => errors.push(error.message));
    // Not events.once: it would reject on the error events this test expects.
    const down = new Promise((resolve) => kt.once('down', resolve));
    assert.equal(await kt.register('é'), 'é');
    assert.deepEqual(await down, { accelerator: 'F5', at: 1.5 });
    assert.equal(errors.length, 2);
    assert.match(errors[0], /not JSON: not json/);
    assert.match(errors[1], /unexpected line: \[1\]/);
    assert.equal(await kt.close(), 0);
  } finally {
    await fake.remove();
  }
});

test('malformed lines without an error listener do not throw', limit, async () => {
  const fake = await fakeKeytap(
    `echo '${ready}'; read line; echo 'garbage'; echo '{"t":"up","d":{"accelerator":"A","at":2}}'\n` +
      `echo '{"t":"unregistered","d":{"accelerator":"A"}}'; cat >/dev/null`,
  );
  let kt;
  try {
    kt = await launch({ binary: fake.path });
    const up = new Promise((resolve) => kt.once('up', resolve));
    assert.equal(await kt.unregister('A'), 'A');
    assert.deepEqual(await up, { accelerator: 'A', at: 2 });
    assert.equal(await kt.close(), 0);
  } finally {
    await fake.remove();
  }
});

test('down and up events from injected keys on a private display', limit, async () => {
  const display = await startDisplay();
  try {
    const kt = await launch({ binary, noPrompt: true, env: { ...process.env, DISPLAY: display.name } });
    assert.equal(kt.permission, 'granted');
    assert.equal(await kt.register('CommandOrControl+Shift+K'), 'CommandOrControl+Shift+K');
    const down = once(kt, 'down');
    const up = once(kt, 'up');
    const { control, shift, k } = keys;
    await promisify(execFile)(injector, [display.name, `+${control}`, `+${shift}`, `+${k}`, `-${k}`, `-${shift}`, `-${control}`]);
    const [pressed] = await down;
    const [released] = await up;
    assert.equal(pressed.accelerator, 'CommandOrControl+Shift+K');
    assert.equal(released.accelerator, 'CommandOrControl+Shift+K');
    assert.ok(released.at >= pressed.at);
    assert.ok(Math.abs(pressed.at - Date.now()) < 10000);
    assert.equal(await kt.close(), 0);
  } finally {
    display.stop();
  }
});

test('the CommonJS entry is the same client', limit, () => {
  assert.equal(commonjs.start, start);
  assert.equal(commonjs.KeytapError, KeytapError);
});
