// The client against the real keytap of any platform (KEYTAP_BINARY), with no display and no
// stand-in: what runs on GitHub's macOS and Windows runners as on Linux. Whether this session may
// listen decides each reply, so both outcomes are checked for what they must be.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { start } from '../index.js';

test('the real keytap: ready, replies in order, errors by code, a clean close', { timeout: 60000 }, async () => {
  const kt = await start({ binary: process.env.KEYTAP_BINARY, noPrompt: true });
  assert.ok(['granted', 'denied'].includes(kt.permission), kt.permission);
  const registering = kt.register('Ctrl+Alt+Shift+F5');
  if (kt.permission === 'granted') {
    assert.equal(await registering, 'Ctrl+Alt+Shift+F5');
  } else {
    await assert.rejects(registering, { code: 'forbidden' });
  }
  await assert.rejects(kt.register('Cmd+Plus'), { code: 'unknown_accelerator' });
  assert.equal(await kt.unregister('Ctrl+Alt+Shift+F5'), 'Ctrl+Alt+Shift+F5');
  assert.equal(await kt.close(), 0);
});
