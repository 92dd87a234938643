'use strict';
// Where the keytap binary is, in this order: the `binary` option; KEYTAP_BINARY; the platform
// package that npm installed beside this client (@keytap/<platform>); `keytap` on PATH.
const fs = require('node:fs');
const path = require('node:path');
const { KeytapError } = require('./keytap-error.cjs');

// The package that holds the binary for each platform and processor, as npm names them.
const platformPackages = {
  'linux-x64': '@keytap/linux-x64',
  'linux-arm64': '@keytap/linux-arm64',
  'darwin-arm64': '@keytap/darwin-universal',
  'darwin-x64': '@keytap/darwin-universal',
  'win32-x64': '@keytap/win32-x64',
};

const executableName = (platform) => (platform === 'win32' ? 'keytap.exe' : 'keytap');

// The package's manifest, resolved from `from` as require() would; undefined when absent.
function manifestOf(name, from) {
  try {
    return require.resolve(`${name}/package.json`, { paths: [from] });
  } catch {
    return undefined;
  }
}

/**
 * A path through an Electron app.asar archive, which cannot be started, turned into the same path
 * under app.asar.unpacked, where the packager puts what it unpacks.
 */
function unpackedPath(file, exists = fs.existsSync) {
  const parts = file.split(/[\\/]/);
  const archive = parts.indexOf('app.asar');
  if (archive < 0) return file;
  const separator = file.includes('\\') && !file.includes('/') ? '\\' : '/';
  const unpacked = [...parts.slice(0, archive), 'app.asar.unpacked', ...parts.slice(archive + 1)]
    .join(separator);
  if (exists(unpacked)) return unpacked;
  throw new KeytapError(
    'spawn',
    `keytap is inside app.asar (${file}), where no program can be started: have the packager ` +
      'unpack it. electron-builder: "asarUnpack": ["**/node_modules/@keytap/**"]; Electron ' +
      'Forge: packagerConfig: { asar: { unpack: "**/node_modules/@keytap/**" } }.',
  );
}

function onPath(platform, env) {
  for (const directory of (env.PATH ?? '').split(path.delimiter)) {
    if (!directory) continue;
    const candidate = path.join(directory, executableName(platform));
    try {
      fs.accessSync(candidate, fs.constants.X_OK);
      return candidate;
    } catch {
      // not here
    }
  }
  return undefined;
}

function missing(name, platform, arch, from) {
  if (!name) {
    return new KeytapError(
      'spawn',
      `keytap has no prebuilt binary for ${platform}-${arch}: pass { binary } or set KEYTAP_BINARY.`,
    );
  }
  const others = Object.values(platformPackages).filter(
    (other) => other !== name && manifestOf(other, from),
  );
  return new KeytapError(
    'spawn',
    `keytap's binary was not found: ${name}, the package that holds it for ${platform}-${arch}, ` +
      'is not installed and keytap is not on PATH. It is an optional dependency of keytap: ' +
      'installing with --omit=optional (or --no-optional) leaves it out; install again ' +
      'without that. ' +
      (others.length > 0
        ? `${others.join(', ')} is installed instead: node_modules was copied from another ` +
          'platform; run npm install on this one. '
        : '') +
      'A bundler that put this client into one file cannot find it either: mark "keytap" ' +
      'as external, or pass { binary }.',
  );
}

/**
 * The path of the keytap binary to start. Throws a KeytapError ("spawn") that says why when none
 * is found, or when the platform package is not at this client's version.
 */
function findBinary({
  binary,
  env = process.env,
  platform = process.platform,
  arch = process.arch,
  from = __dirname,
  version = require('./package.json').version,
} = {}) {
  if (binary) return binary;
  if (env.KEYTAP_BINARY) return env.KEYTAP_BINARY;
  const name = platformPackages[`${platform}-${arch}`];
  const manifest = name && manifestOf(name, from);
  if (manifest) {
    const installed = JSON.parse(fs.readFileSync(manifest, 'utf8')).version;
    if (installed !== version) {
      throw new KeytapError(
        'spawn',
        `${name} is at version ${installed}, but the keytap client is at ${version}: install ` +
          'both at the same version.',
      );
    }
    return unpackedPath(path.join(path.dirname(manifest), executableName(platform)));
  }
  const found = onPath(platform, env);
  if (found) return found;
  throw missing(name, platform, arch, from);
}

module.exports = { findBinary, unpackedPath, platformPackages };
