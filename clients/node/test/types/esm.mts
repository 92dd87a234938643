// Compiled by the type check only: what an ES module host may write.
import client, { start, KeytapError, type KeyEvent, type Keytap, type GestureEvent } from 'keytap';

const keytap: Keytap = await start({ binary: 'keytap', timeoutMs: 1000, autoRestart: true });
const permission: 'granted' | 'denied' = keytap.permission;
await keytap.register('CommandOrControl+Shift+K', { down: (event: KeyEvent) => event.at });
keytap.on('up', ({ accelerator, synthetic, reason }) => [accelerator, synthetic, reason]);
keytap.on('status', ({ listening }) => listening);
const { failed } = await keytap.registerAll(['F5']);
failed.forEach(({ error }) => error instanceof KeytapError && error.code === 'conflict');
const texts: string[] = keytap.registered();
const keeper = await start({ consume: true });
await keeper.register('F9', { consume: true, up: (event: KeyEvent) => event.at });
const recorder = await start({ capture: true });
const { accelerator, label }: { accelerator: string; label: string } = await recorder.capture({
  signal: AbortSignal.timeout(10000),
});
const described: string = await recorder.describe(accelerator);
const gesture = keytap.gesture('CommandOrControl+Shift+Space', { holdMs: 200, doubleTapMs: 0 });
gesture.on('hold-end', ({ at, synthetic, reason }) => [at, synthetic, reason]);
gesture.once('double-tap', (event: GestureEvent) => event.accelerator);
// @ts-expect-error: no such gesture
gesture.on('hold', () => {});
// @ts-expect-error: the options are times in ms
keytap.gesture('F5', { holdMs: '250' });
gesture.close();
const status: number | null = await keytap.close();
client.start satisfies typeof start;
export { permission, texts, status, label, described };
