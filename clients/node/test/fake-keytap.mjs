#!/usr/bin/env node
// Stands in for keytap in the client's tests: says "ready", answers every command, and presses
// each accelerator as soon as it is registered (a "down", never an "up"), so that every
// registration is a hold that only the client can end. Each capture gets a chord at once, F1,
// F2, ... in turn, and a cancel_capture comes too late: one more chord goes before its reply.
// With FAKE_SILENT it never says "ready".
import { createInterface } from 'node:readline';

const say = (t, d) => process.stdout.write(JSON.stringify({ t, d }) + '\n');
let chords = 0;
const chord = () => {
  chords += 1;
  say('captured', { accelerator: `F${chords}`, label: `F${chords}` });
};
if (process.env.FAKE_SILENT) {
  setInterval(() => {}, 1000);
} else {
  say('ready', { available: true, permission: 'granted' });
  for await (const line of createInterface({ input: process.stdin })) {
    const { t, d } = JSON.parse(line);
    if (t === 'capture') {
      say('capturing', {});
      chord();
    } else if (t === 'cancel_capture') {
      chord();
      say('capture_cancelled', {});
    } else {
      say(t === 'register' ? 'registered' : 'unregistered', { accelerator: d.accelerator });
      if (t === 'register') say('down', { accelerator: d.accelerator, at: Date.now() });
    }
  }
}
