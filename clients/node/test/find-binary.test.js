// Where the client finds keytap, over made-up folder trees: no package manager and no Electron.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import finder from '../find-binary.cjs';

const { findBinary } = finder;
const version = '1.2.3';

// node_modules under `root` with the client and the platform packages named, at their versions.
function tree(root, packages) {
  const client = join(root, 'node_modules', 'keytap');
  mkdirSync(client, { recursive: true });
  for (const [name, at] of Object.entries(packages)) {
    const folder = join(root, 'node_modules', name);
    mkdirSync(folder, { recursive: true });
    writeFileSync(join(folder, 'package.json'), JSON.stringify({ name, version: at }));
    writeFileSync(join(folder, 'keytap'), '');
  }
  return client;
}

test('the binary is found in order, and a missing one is explained', (t) => {
  const root = mkdtempSync(join(tmpdir(), 'keytap-find-'));
  t.after(() => rmSync(root, { recursive: true, force: true }));
  const linux = { platform: 'linux', arch: 'x64', version, env: { PATH: '' } };

  const installed = tree(join(root, 'installed'), { '@keytap/linux-x64': version });
  const packaged = join(root, 'installed', 'node_modules', '@keytap', 'linux-x64', 'keytap');
  assert.equal(findBinary({ ...linux, from: installed }), packaged);
  assert.equal(findBinary({ ...linux, from: installed, binary: '/opt/k' }), '/opt/k');
  assert.equal(findBinary({ ...linux, from: installed, env: { KEYTAP_BINARY: '/e/k' } }), '/e/k');

  const stale = tree(join(root, 'stale'), { '@keytap/linux-x64': '1.2.2' });
  assert.throws(() => findBinary({ ...linux, from: stale }), /at version 1\.2\.2.*at 1\.2\.3/);

  const omitted = tree(join(root, 'omitted'), {});
  assert.throws(() => findBinary({ ...linux, from: omitted }), (error) => {
    assert.equal(error.code, 'spawn');
    assert.match(error.message, /@keytap\/linux-x64.*--omit=optional.*external/s);
    assert.doesNotMatch(error.message, /another platform/);
    return true;
  });
  const copied = tree(join(root, 'copied'), { '@keytap/win32-x64': version });
  assert.throws(() => findBinary({ ...linux, from: copied }), /@keytap\/win32-x64 is installed instead/);
  assert.throws(() => findBinary({ ...linux, arch: 'ia32', from: omitted }), /no prebuilt binary/);
});

test('inside Electron the binary is taken from app.asar.unpacked', (t) => {
  const root = mkdtempSync(join(tmpdir(), 'keytap-asar-'));
  t.after(() => rmSync(root, { recursive: true, force: true }));
  const mac = { platform: 'darwin', arch: 'arm64', version, env: { PATH: '' } };
  const client = tree(join(root, 'app.asar'), { '@keytap/darwin-universal': version });

  assert.throws(() => findBinary({ ...mac, from: client }), /asarUnpack.*asar: \{ unpack/s);
  tree(join(root, 'app.asar.unpacked'), { '@keytap/darwin-universal': version });
  assert.equal(
    findBinary({ ...mac, from: client }),
    join(root, 'app.asar.unpacked', 'node_modules', '@keytap', 'darwin-universal', 'keytap'),
  );
});
