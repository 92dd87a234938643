// Tests of the client against the real keytap binary (KEYTAP_BINARY), with a private Xvfb and
// the project's XTEST injector (KEYTAP_INJECT) for key events, and against stand-ins.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, execFileSync } from 'node:child_process';
import { mkdtemp, writeFile, chmod, rm, access } from 'node:fs/promises';
import { readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import { promisify } from 'node:util';

import { start, KeytapError } from '../index.js';
import { startDisplay } from './display.js';
import commonjs from '../index.cjs';

const binary = process.env.KEYTAP_BINARY ?? new URL('../../../build/keytap', import.meta.url).pathname;
const injector = process.env.KEYTAP_INJECT ?? new URL('../../../build/tests/keytap-inject', import.meta.url).pathname;
const headless = { ...process.env };
delete headless.DISPLAY;

// X key codes of the evdev keymap.
const keys = { control: 37, shift: 50, k: 45, f5: 71, w: 25, rightAlt: 108 };

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
  started.push(kt.pid);
  kt.on('restart', ({ pid }) => started.push(pid));
  return kt;
}
after(() => {
  for (const pid of started) {
    try {
      process.kill(pid, 'SIGKILL');
    } catch {} // ended already
  }
});
const standIn = new URL('./fake-keytap.mjs', import.meta.url).pathname;

test('without a display: denied, every reply, and a clean close', limit, async () => {
  const kt = await launch({ binary, noPrompt: true, env: headless });
  assert.equal(kt.permission, 'denied');
  await assert.rejects(kt.register('Cmd+K'), { name: 'KeytapError', code: 'forbidden', message: 'Input Monitoring denied' });
  await assert.rejects(kt.register('Cmd+Plus'), { code: 'unknown_accelerator', message: 'unknown accelerator: Cmd+Plus' });
  await assert.rejects(kt.register(''), { code: 'unknown_accelerator', message: 'unknown accelerator: ' });
  assert.equal(await kt.unregister('Cmd+K'), 'Cmd+K');
  await assert.rejects(kt.register(42), TypeError);
  assert.equal(await kt.close(), 0);
  await assert.rejects(kt.register('F5'), { code: 'closed' });
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

test('a crash fails the registers still pending and settles the unregisters', limit, async () => {
  const kt = await launch({ binary, noPrompt: true, env: headless });
  const exited = once(kt, 'exit');
  const pending = Array.from({ length: 2000 }, (_, i) => (i % 2 ? kt.unregister(`K${i}`) : kt.register('F5')));
  process.kill(kt.pid, 'SIGKILL');
  const outcomes = await Promise.allSettled(pending);
  assert.deepEqual(await exited, [null, 'SIGKILL']);
  const unanswered = outcomes.filter((outcome) => outcome.reason?.code === 'exited');
  assert.ok(unanswered.length > 0, 'the kill came before every reply');
  outcomes.forEach((outcome, i) => {
    // An unregister is done once keytap is gone; a register was answered "forbidden" or not at all.
    if (i % 2) assert.equal(outcome.value, `K${i}`);
    else assert.ok(['forbidden', 'exited'].includes(outcome.reason.code));
  });
});

test('every down gets exactly one up: on unregister, on a crash, on close', limit, async () => {
  const ways = {
    unregistered: (kt) => kt.unregister('A'),
    exited: (kt) => process.kill(kt.pid, 'SIGKILL'),
    closed: (kt) => kt.close(),
  };
  for (const [reason, end] of Object.entries(ways)) {
    const kt = await launch({ binary: standIn });
    const ups = [];
    kt.on('up', (event) => ups.push(event));
    const down = once(kt, 'down');
    await kt.register('A', { up: (event) => ups.push(event) });
    await down;
    const exited = once(kt, 'exit');
    await end(kt);
    if (reason !== 'unregistered') await exited;
    assert.equal(ups.length, 2, reason); // the callback and the event
    assert.deepEqual({ ...ups[0], at: 0 }, { accelerator: 'A', at: 0, synthetic: true, reason });
    assert.equal(ups[1], ups[0]);
    assert.deepEqual(kt.registered(), []);
    await kt.kill('SIGKILL');
  }
});

test('close waits for fire-and-forget commands; later ones are refused', limit, async () => {
  const unhandled = [];
  const record = (reason) => unhandled.push(reason);
  process.on('unhandledRejection', record);
  try {
    const kt = await launch({ binary, noPrompt: true, env: headless });
    for (let i = 0; i < 500; i++) kt.unregister(`K${i}`);
    const closing = kt.close();
    await assert.rejects(kt.unregister('late'), { code: 'closed' });
    assert.equal(await closing, 0);
    await new Promise((resolve) => setImmediate(resolve));
    assert.deepEqual(unhandled, []);
  } finally {
    process.off('unhandledRejection', record);
  }
});

test('start gives up on a silent keytap, or when aborted, and kills it', limit, async () => {
  const silent = { binary: standIn, env: { ...process.env, FAKE_SILENT: '1' } };
  await assert.rejects(start({ ...silent, timeoutMs: 300 }), { code: 'timeout' });
  const controller = new AbortController();
  const starting = start({ ...silent, signal: controller.signal });
  controller.abort();
  await assert.rejects(starting, { name: 'AbortError' });
  await new Promise((resolve) => setTimeout(resolve, 100));
  assert.throws(() => execFileSync('pgrep', ['-f', standIn]), 'no stand-in left running');
});

test('keytap runs in a process group of its own, out of reach of a Ctrl+C', limit, async () => {
  const kt = await launch({ binary, noPrompt: true, env: headless });
  const group = Number(readFileSync(`/proc/${kt.pid}/stat`, 'utf8').split(') ')[1].split(' ')[2]);
  assert.equal(group, kt.pid);
  assert.equal(await kt.kill(), null);
  assert.equal(kt.exitCode, null);
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
    `echo '${ready}'; read line; echo 'garbage'; echo '{"t":"down","d":{"accelerator":"A","at":1}}'\n` +
      `echo '{"t":"up","d":{"accelerator":"A","at":2}}'\n` +
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

test('on a private display: registerAll, a restart that registers again, then keys', limit, async () => {
  const display = await startDisplay();
  try {
    const env = { ...process.env, DISPLAY: display.name };
    const kt = await launch({ binary, noPrompt: true, env, autoRestart: true });
    assert.equal(kt.permission, 'granted');
    const texts = ['CommandOrControl+Shift+K', 'Cmd+Plus', 'CommandOrControl+Shift+K', 'F5'];
    const { registered, failed } = await kt.registerAll(texts);
    assert.deepEqual(registered, ['CommandOrControl+Shift+K', 'F5']);
    assert.deepEqual(
      failed.map(({ accelerator, error }) => [accelerator, error.code]),
      [['Cmd+Plus', 'unknown_accelerator'], ['CommandOrControl+Shift+K', 'conflict']],
    );

    const first = kt.pid;
    const restarted = once(kt, 'restart');
    process.kill(first, 'SIGKILL');
    const [{ pid, failed: refused }] = await restarted;
    assert.notEqual(pid, first);
    assert.deepEqual(refused, []);
    assert.deepEqual(kt.registered(), ['CommandOrControl+Shift+K', 'F5']);
    assert.ok(kt.isRegistered('F5'));

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
    assert.deepEqual(await kt.unregisterAll(), ['CommandOrControl+Shift+K', 'F5']);
    assert.equal(await kt.close(), 0);
  } finally {
    display.stop();
  }
});

test('extendedKeys and mouseButtons: Right Alt held alone or as a chord, a side button, and Fn not available on X11', limit, async () => {
  const display = await startDisplay();
  try {
    const kt = await launch({ binary, noPrompt: true, extendedKeys: true, mouseButtons: true, env: { ...process.env, DISPLAY: display.name } });
    await kt.register('RightAlt');
    await kt.register('Mouse4');
    await assert.rejects(kt.register('Fn'), { code: 'not_available', message: 'not available on this platform: Fn' });
    const said = [];
    kt.on('down', ({ accelerator }) => said.push(`down ${accelerator}`));
    kt.on('up', ({ accelerator, alone }) => said.push(`up ${accelerator}${alone === undefined ? '' : ` alone=${alone}`}`));
    const { rightAlt, w } = keys;
    await promisify(execFile)(injector, [display.name, `+${rightAlt}`, `-${rightAlt}`, `+${rightAlt}`, `+${w}`, `-${w}`, `-${rightAlt}`, '+b8', '-b8']);
    await kt.unregister('Mouse4'); // every key injected before it has been reported
    assert.deepEqual(said, ['down RightAlt', 'up RightAlt alone=true', 'down RightAlt', 'up RightAlt alone=false', 'down Mouse4', 'up Mouse4']);
    assert.equal(await kt.close(), 0);
  } finally {
    display.stop();
  }
});

test('consume: a key kept from other programs while registered with consume, and only then', limit, async () => {
  const display = await startDisplay();
  try {
    const env = { ...process.env, DISPLAY: display.name };
    const keeper = await launch({ binary, noPrompt: true, consume: true, env });
    const other = await launch({ binary, noPrompt: true, consume: true, env });
    assert.equal(await keeper.register('F9', { consume: true }), 'F9');
    assert.equal(await keeper.register('F10'), 'F10');
    // On X11 a chord one program keeps is refused to the next: the keeper's F9 is held by it.
    await assert.rejects(other.register('F9', { consume: true }), { code: 'conflict' });
    assert.equal(await other.register('F10', { consume: true }), 'F10');
    await keeper.unregister('F9');
    assert.equal(await other.register('F9', { consume: true }), 'F9');
    assert.equal(await keeper.close(), 0);
    assert.equal(await other.close(), 0);
  } finally {
    display.stop();
  }
});

test('capture: a chord recorded in keytap\'s grammar with its label, the modifiers held on the way; aborted; describe', limit, async () => {
  const display = await startDisplay();
  try {
    const kt = await launch({ binary, noPrompt: true, capture: true, env: { ...process.env, DISPLAY: display.name } });
    const aborted = new AbortController();
    const cancelled = kt.capture({ signal: aborted.signal });
    aborted.abort(new Error('the user closed the dialog'));
    await assert.rejects(cancelled, { message: 'the user closed the dialog' });
    const capturing = once(kt, 'capturing');
    const held = [];
    kt.on('capture_held', ({ accelerator, label }) => held.push(`${accelerator} ${label}`));
    const chord = kt.capture();
    await capturing; // keys pressed before keytap records would be lost
    const { control, shift, k } = keys;
    await promisify(execFile)(injector, [display.name, `+${control}`, `+${shift}`, `+${k}`, `-${k}`, `-${shift}`, `-${control}`]);
    assert.deepEqual(await chord, { accelerator: 'Control+Shift+K', label: 'Ctrl+Shift+K' });
    assert.deepEqual(held, ['Control Ctrl', 'Control+Shift Ctrl+Shift']);
    assert.equal(await kt.describe('CmdOrCtrl+F5'), 'Ctrl+F5');
    await assert.rejects(kt.describe('Ctrl+Nope'), { code: 'unknown_accelerator' });
    assert.equal(await kt.close(), 0);
  } finally {
    display.stop();
  }
});

test('capture: one begun as the last is aborted is a new one, each caller has its own signal', limit, async () => {
  const kt = await launch({ binary: standIn });
  let begun = 0;
  kt.on('capturing', () => (begun += 1));
  const first = new AbortController();
  const aborted = kt.capture({ signal: first.signal });
  first.abort(new Error('the first dialog closed'));
  const chord = kt.capture();
  const second = new AbortController();
  const joined = kt.capture({ signal: second.signal });
  second.abort(new Error('the second dialog closed'));
  await assert.rejects(aborted, { message: 'the first dialog closed' });
  await assert.rejects(joined, { message: 'the second dialog closed' });
  // The stand-in's F1 and F2 came for the aborted capture; F3 is the new one's.
  assert.deepEqual(await chord, { accelerator: 'F3', label: 'F3' });
  assert.equal(begun, 1); // the aborted capture's "capturing" says nothing
  assert.equal(await kt.close(), 0);
});

test('the CommonJS entry is the same client', limit, () => {
  assert.equal(commonjs.start, start);
  assert.equal(commonjs.KeytapError, KeytapError);
});

test('the type declarations compile for ES module and CommonJS hosts', limit, async (t) => {
  const tsc = new URL('../node_modules/typescript/bin/tsc', import.meta.url).pathname;
  try {
    await access(tsc);
  } catch {
    return t.skip('typescript is not installed (npm install in clients/node)');
  }
  const project = new URL('./types/tsconfig.json', import.meta.url).pathname;
  await promisify(execFile)(process.execPath, [tsc, '-p', project]);
});
