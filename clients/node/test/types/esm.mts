// Compiled by the type check only: what an ES module host may write.
import client, { start, KeytapError, type KeyEvent, type Keytap } from 'keytap';

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
const status: number | null = await keytap.close();
client.start satisfies typeof start;
export { permission, texts, status, label, described };
