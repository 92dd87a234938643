#!/usr/bin/env node
// Stands in for keytap in the client's tests: says "ready", answers every command, and presses
// each accelerator as soon as it is registered (a "down", never an "up"), so that every
// registration is a hold that only the client can end. With FAKE_SILENT it never says "ready".
import { createInterface } from 'node:readline';

const say = (t, d) => process.stdout.write(JSON.stringify({ t, d }) + '\n');
if (process.env.FAKE_SILENT) {
  setInterval(() => {}, 1000);
} else {
  say('ready', { available: true, permission: 'granted' });
  for await (const line of createInterface({ input: process.stdin })) {
    const { t, d } = JSON.parse(line);
    say(t === 'register' ? 'registered' : 'unregistered', { accelerator: d.accelerator });
    if (t === 'register') say('down', { accelerator: d.accelerator, at: Date.now() });
  }
}
