// Installs keytap the way users do: the packed tarballs of make dist (KEYTAP_DIST) are published
// to a private registry on 127.0.0.1 (verdaccio, KEYTAP_VERDACCIO, without uplinks, so nothing
// comes from outside), then installed by name into new folders.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, execFileSync, spawn } from 'node:child_process';
import { accessSync, constants, existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import { promisify } from 'node:util';

import { startDisplay } from './display.js';

const dist = process.env.KEYTAP_DIST;
const source = new URL('../../..', import.meta.url).pathname;
const version = readFileSync(join(source, 'VERSION'), 'utf8').trim();
const work = mkdtempSync(join(tmpdir(), 'keytap-install-'));
const npmrc = join(work, 'npmrc');
const limit = { timeout: 120000 };
let registry;

function freePort() {
  const server = createServer().listen(0, '127.0.0.1');
  return once(server, 'listening').then(() => {
    const { port } = server.address();
    server.close();
    return port;
  });
}

// npm against the private registry only, with a cache of its own.
const npmArgs = (args) => [...args, '--userconfig', npmrc, '--cache', join(work, 'cache'), '--no-audit', '--no-fund'];
const npm = (folder, ...args) =>
  execFileSync('npm', npmArgs(args), { cwd: folder, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
const npmAsync = (folder, ...args) => promisify(execFile)('npm', npmArgs(args), { cwd: folder });

function installInto(name, ...args) {
  const folder = join(work, name);
  mkdirSync(folder);
  npm(folder, 'install', ...args);
  return folder;
}

// Runs a host script in the folder, with neither a binary option nor KEYTAP_BINARY.
function host(folder, file, text, env = {}) {
  writeFileSync(join(folder, file), text);
  const clean = { ...process.env, ...env };
  delete clean.KEYTAP_BINARY;
  return spawn(process.execPath, [file], { cwd: folder, env: clean, stdio: ['ignore', 'pipe', 'inherit'] });
}

// Lines the child writes, as they come.
async function* lines(child) {
  let buffered = '';
  for await (const chunk of child.stdout) {
    buffered += chunk;
    for (let end = buffered.indexOf('\n'); end >= 0; end = buffered.indexOf('\n')) {
      yield buffered.slice(0, end);
      buffered = buffered.slice(end + 1);
    }
  }
}

const platformPackages = (folder) => readdirSync(join(folder, 'node_modules', '@keytap'));

before(async () => {
  const port = await freePort();
  writeFileSync(
    join(work, 'config.yaml'),
    `storage: ${join(work, 'storage')}\nuplinks: {}\npackages:\n  '**':\n    access: $all\n    publish: $all\nlog: { type: stdout, format: pretty, level: fatal }\n`,
  );
  writeFileSync(
    npmrc,
    `registry=http://127.0.0.1:${port}/\n//127.0.0.1:${port}/:_authToken=keytap-tests\nupdate-notifier=false\n`,
  );
  registry = spawn(process.env.KEYTAP_VERDACCIO, ['--config', join(work, 'config.yaml'), '--listen', `127.0.0.1:${port}`], {
    stdio: 'ignore',
  });
  for (let tries = 0; ; ++tries) {
    try {
      await promisify(execFile)('npm', ['ping', '--userconfig', npmrc]);
      break;
    } catch (error) {
      if (tries > 100) throw error;
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  }
  // Platform packages first, the client last, as a release publishes them.
  const client = `keytap-${version}.tgz`;
  const tarballs = readdirSync(dist).filter((file) => file.endsWith('.tgz') && file !== client);
  await Promise.all(tarballs.map((tarball) => npmAsync(work, 'publish', join(dist, tarball))));
  npm(work, 'publish', join(dist, client));
});

after(() => {
  registry?.kill('SIGKILL');
  rmSync(work, { recursive: true, force: true });
});

test('npm install keytap brings this platform\'s binary, found with no path', limit, async (t) => {
  const folder = installInto('linux', 'keytap');
  assert.deepEqual(platformPackages(folder), ['linux-x64']);
  accessSync(join(folder, 'node_modules', '@keytap', 'linux-x64', 'keytap'), constants.X_OK);
  // MIT, and for the binary what it carries statically, with their notices beside it.
  const licenses = {
    keytap: 'MIT',
    [join('@keytap', 'linux-x64')]: 'MIT AND LGPL-2.1-or-later AND (AFL-2.1 OR GPL-2.0-or-later)',
  };
  for (const [installed, license] of Object.entries(licenses)) {
    const where = join(folder, 'node_modules', installed);
    assert.equal(JSON.parse(readFileSync(join(where, 'package.json'), 'utf8')).license, license, installed);
    assert.match(readFileSync(join(where, 'LICENSE'), 'utf8'), /^MIT License/, installed);
  }
  const notices = readFileSync(join(folder, 'node_modules', '@keytap', 'linux-x64', 'THIRD-PARTY-NOTICES.txt'), 'utf8');
  for (const carried of ['nlohmann-json', 'libxcb1', 'libdbus-1-3', 'libc6', 'GNU Lesser General Public License']) {
    assert.ok(notices.includes(carried), carried);
  }

  const display = await startDisplay();
  t.after(display.stop);
  const hosts = {
    'host.mjs': "import { start } from 'keytap';\n",
    'host.cjs': "const { start } = require('keytap');\n",
  };
  for (const [file, importing] of Object.entries(hosts)) {
    const child = host(
      folder,
      file,
      `${importing}(async () => {
  const keytap = await start();
  keytap.on('down', ({ accelerator }) => console.log('down ' + accelerator));
  keytap.on('up', ({ accelerator }) => { console.log('up ' + accelerator); keytap.close(); });
  await keytap.register('F5');
  console.log('registered');
})();
`,
      { DISPLAY: display.name },
    );
    const said = [];
    for await (const line of lines(child)) {
      said.push(line);
      if (line === 'registered') execFileSync(process.env.KEYTAP_INJECT, [display.name, '+71', '-71']);
    }
    assert.deepEqual(said, ['registered', 'down F5', 'up F5'], file);
  }
});

test('other platforms install their own package, whose binary passes its checks', limit, (t) => {
  // make dist builds the darwin package only where a macOS SDK is at hand.
  if (existsSync(join(dist, `keytap-darwin-universal-${version}.tgz`))) {
    const mac = installInto('darwin', 'keytap', '--os=darwin', '--cpu=arm64');
    assert.deepEqual(platformPackages(mac), ['darwin-universal']);
    const binary = join(mac, 'node_modules', '@keytap', 'darwin-universal', 'keytap');
    execFileSync(join(source, 'scripts', 'check-macos-binary'), [binary]);
  } else {
    t.diagnostic('no darwin package: make dist had no macOS SDK');
  }

  const windows = installInto('win32', 'keytap', '--os=win32', '--cpu=x64');
  assert.deepEqual(platformPackages(windows), ['win32-x64']);
  const exe = join(windows, 'node_modules', '@keytap', 'win32-x64', 'keytap.exe');
  const headers = execFileSync('x86_64-w64-mingw32-objdump', ['-p', exe], { encoding: 'utf8' });
  assert.match(headers, /file format pei-x86-64/);
  const imports = [...headers.matchAll(/DLL Name: (\S+)/g)].map(([, dll]) => dll.toUpperCase()).sort();
  assert.deepEqual(imports, ['ADVAPI32.DLL', 'KERNEL32.DLL', 'MSVCRT.DLL', 'USER32.DLL']);
});

test('a missing or mismatched platform package is explained by start()', limit, async () => {
  const folder = installInto('omitted', '--omit=optional', 'keytap');
  const say = "require('keytap').start().then(() => console.log('started'), (e) => console.log(e.code + ': ' + e.message));\n";
  const { value: omitted } = await lines(host(folder, 'omitted.cjs', say)).next();
  assert.match(omitted, /^spawn: .*@keytap\/linux-x64.*--omit=optional/);

  // The platform package at another version, installed by hand.
  const other = join(work, 'other');
  mkdirSync(other);
  writeFileSync(join(other, 'keytap'), '');
  writeFileSync(
    join(other, 'package.json'),
    JSON.stringify({ name: '@keytap/linux-x64', version: `${version}-other`, os: ['linux'], cpu: ['x64'] }),
  );
  npm(other, 'publish', '--tag', 'other');
  npm(folder, 'install', '--omit=optional', `@keytap/linux-x64@${version}-other`);
  const { value: mismatched } = await lines(host(folder, 'mismatched.cjs', say)).next();
  assert.match(mismatched, new RegExp(`at version ${version}-other, but the keytap client is at ${version}`));
});
