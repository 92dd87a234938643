// Tap, hold and double-tap: the decision driven by explicit times, then over a stand-in keytap.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtemp, writeFile, chmod, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';

import { start } from '../index.js';
import { Recognizer } from '../gesture.cjs';

// Each row: the options, what the recognizer is fed ("down 0", "up 300 exited" for a synthetic
// up, "tick 250" for a timer due then, "end 260" for close()), and what it reports, in order.
const rows = {
  'a short press is a tap once no second one follows': [{}, 'down 0, up 100, tick 400', 'tap 100'],
  'the tap waits out its double-tap window': [{}, 'down 0, up 100, tick 399', ''],
  'held to holdMs: hold-start from the timer, hold-end at the release': [
    {},
    'down 0, tick 250, up 900',
    'hold-start 0, hold-end 900',
  ],
  'a timer that came late: a release under holdMs by its time is a tap': [{}, 'down 0, up 249, tick 549', 'tap 249'],
  'no timer before the release: its time shows the hold': [{}, 'down 0, up 250', 'hold-start 0, hold-end 250'],
  'a second press within doubleTapMs of the release': [
    {},
    'down 0, up 100, down 399, up 450, tick 2000',
    'double-tap 399',
  ],
  'a second press at doubleTapMs: two taps': [{}, 'down 0, up 100, down 400, up 450, tick 750', 'tap 100, tap 450'],
  'the second press of a double-tap held long is no hold': [
    {},
    'down 0, up 100, down 200, tick 450, up 900',
    'double-tap 200',
  ],
  'a hold then a short press: a tap, no double-tap': [
    {},
    'down 0, tick 250, up 300, down 350, up 400, tick 700',
    'hold-start 0, hold-end 300, tap 400',
  ],
  'a hold cut by unregister': [{}, 'down 0, tick 250, up 300 unregistered', 'hold-start 0, hold-end 300 unregistered'],
  'a hold cut by exit': [{}, 'down 0, tick 250, up 300 exited', 'hold-start 0, hold-end 300 exited'],
  'a press cut before it was a hold is no gesture': [{}, 'down 0, up 100 exited, tick 1000', ''],
  'a hold cut before its timer came': [{}, 'down 0, up 400 unregistered', 'hold-start 0, hold-end 400 unregistered'],
  'close ends a hold': [{}, 'down 0, tick 250, end 260', 'hold-start 0, hold-end 260 closed'],
  'close reports a tap still waiting': [{}, 'down 0, up 100, end 150', 'tap 100'],
  'doubleTapMs 0: every tap at its release': [
    { doubleTapMs: 0 },
    'down 0, up 100, down 150, up 200',
    'tap 100, tap 200',
  ],
  'holdMs 0: every press a hold at once': [{ holdMs: 0 }, 'down 0, up 10', 'hold-start 0, hold-end 10'],
  'other times': [
    { holdMs: 500, doubleTapMs: 100 },
    'down 0, up 499, down 598, up 600, down 1000, tick 1500',
    'double-tap 598, hold-start 1000',
  ],
};

test('gestures from down and up times', async (t) => {
  for (const [name, [options, inputs, expected]] of Object.entries(rows)) {
    await t.test(name, () => {
      const recognizer = new Recognizer(options);
      const said = [];
      for (const input of inputs.split(', ')) {
        const [what, time, reason] = input.split(' ');
        const at = Number(time);
        const gestures =
          what === 'tick'
            ? recognizer.tick(at)
            : what === 'end'
              ? recognizer.end(at)
              : recognizer.key(what, reason ? { at, synthetic: true, reason } : { at });
        for (const [gesture, { at, reason }] of gestures) said.push(reason ? `${gesture} ${at} ${reason}` : `${gesture} ${at}`);
      }
      assert.deepEqual(said, expected ? expected.split(', ') : []);
    });
  }
});

test('holdMs and doubleTapMs are times from 0 ms to a timer\'s longest wait', () => {
  for (const options of [{ holdMs: -1 }, { doubleTapMs: Number.NaN }, { holdMs: '250' }, { holdMs: Infinity }, { doubleTapMs: 2 ** 31 }]) {
    assert.throws(() => new Recognizer(options), RangeError);
  }
});

const limit = { timeout: 60000 };
const standIn = new URL('./fake-keytap.mjs', import.meta.url).pathname;
const started = [];
after(() => {
  for (const pid of started) {
    try {
      process.kill(pid, 'SIGKILL');
    } catch {} // ended already
  }
});

// Records a gesture's events as "hold-end A unregistered".
function record(gesture) {
  const said = [];
  for (const name of ['tap', 'double-tap', 'hold-start', 'hold-end']) {
    gesture.on(name, ({ accelerator, reason }) => said.push([name, accelerator, reason].filter(Boolean).join(' ')));
  }
  return said;
}

test('a hold from the timer gets its hold-end however it is cut', limit, async () => {
  const ways = {
    unregistered: (kt) => kt.unregister('A'),
    exited: (kt) => process.kill(kt.pid, 'SIGKILL'),
    closed: (kt) => kt.close(),
    gesture: (kt, gesture) => gesture.close(),
  };
  for (const [way, end] of Object.entries(ways)) {
    // The stand-in presses A as soon as it is registered, and never lets it go.
    const kt = await start({ binary: standIn });
    started.push(kt.pid);
    const gesture = kt.gesture('A', { holdMs: 20 });
    const said = record(gesture);
    const held = once(gesture, 'hold-start');
    await kt.register('A');
    await held;
    const ended = once(gesture, 'hold-end');
    await end(kt, gesture);
    await ended;
    await kt.kill('SIGKILL'); // nothing more after the hold-end
    assert.deepEqual(said, ['hold-start A', `hold-end A ${way === 'gesture' ? 'closed' : way}`], way);
  }
});

test("keytap's times decide, not the client's clock; a tap still waiting comes as keytap ends", limit, async () => {
  const dir = await mkdtemp(join(tmpdir(), 'keytap-gesture-'));
  const path = join(dir, 'fake-keytap');
  const key = (t, at) => `{"t":"${t}","d":{"accelerator":"F5","at":${at}}}`;
  // Presses 100 ms apart by keytap's times, written at once; then a lone tap.
  const lines = [['down', 1000], ['up', 1100], ['down', 1200], ['up', 1300], ['down', 5000], ['up', 5100]];
  const script =
    `echo '{"t":"ready","d":{"available":true,"permission":"granted"}}'; read line\n` +
    `echo '{"t":"registered","d":{"accelerator":"F5"}}'\n` +
    lines.map(([t, at]) => `echo '${key(t, at)}'\n`).join('') +
    'cat >/dev/null\n';
  await writeFile(path, `#!/bin/sh\n${script}`);
  await chmod(path, 0o755);
  try {
    const kt = await start({ binary: path });
    started.push(kt.pid);
    const gesture = kt.gesture('F5');
    const said = [];
    gesture.on('double-tap', ({ at }) => said.push(`double-tap ${at}`));
    gesture.on('tap', ({ at }) => said.push(`tap ${at}`));
    await kt.register('F5');
    assert.equal(await kt.close(), 0); // long before the lone tap's window is over
    assert.deepEqual(said, ['double-tap 1200', 'tap 5100']);
  } finally {
    await rm(dir, { recursive: true, force: true });
  }
});
