'use strict';
// A host-side client for keytap: spawns the helper, matches replies to commands by order (the
// protocol has no request ids) and turns "down"/"up" lines into events.
const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');

/** An "error" reply from keytap, or the helper going away while a command waited. */
class KeytapError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'KeytapError';
    this.code = code;
  }
}

const replyTypes = new Set(['registered', 'unregistered', 'error']);

class Keytap extends EventEmitter {
  constructor(child) {
    super();
    this.permission = undefined;
    this.exitCode = undefined;
    this._child = child;
    this._pending = []; // one entry per command sent and not yet answered, oldest first
    this._buffer = '';
    this._exited = new Promise((resolve) => {
      child.on('exit', (code, signal) => {
        this.exitCode = code;
        this._failPending(new KeytapError('exited', `keytap exited (${signal ?? code})`));
        this.emit('exit', code, signal);
        resolve(code);
      });
    });
  }

  /** Starts reporting the accelerator; resolves with its text once keytap has registered it. */
  register(accelerator) {
    return this._send('register', accelerator);
  }

  /** Stops reporting the accelerator; resolves with its text. */
  unregister(accelerator) {
    return this._send('unregister', accelerator);
  }

  /** Ends keytap by closing its standard input; resolves with its exit status. */
  close() {
    this._child.stdin.end();
    return this._exited;
  }

  _send(type, accelerator) {
    if (typeof accelerator !== 'string') {
      return Promise.reject(new TypeError('accelerator must be a string'));
    }
    if (this.exitCode !== undefined || !this._child.stdin.writable) {
      return Promise.reject(new KeytapError('exited', 'keytap is not running'));
    }
    return new Promise((resolve, reject) => {
      this._pending.push({ resolve, reject });
      this._child.stdin.write(JSON.stringify({ t: type, d: { accelerator } }) + '\n');
    });
  }

  _failPending(error) {
    for (const { reject } of this._pending.splice(0)) reject(error);
  }

  // Called with every chunk of keytap's output; never throws.
  _receive(chunk) {
    this._buffer += chunk;
    let end;
    while ((end = this._buffer.indexOf('\n')) >= 0) {
      const line = this._buffer.slice(0, end);
      this._buffer = this._buffer.slice(end + 1);
      this._receiveLine(line);
    }
  }

  _receiveLine(line) {
    let message;
    try {
      message = JSON.parse(line);
    } catch {
      return this._report(new Error(`keytap wrote a line that is not JSON: ${line}`));
    }
    const type = message && message.t;
    const payload = message && message.d;
    if (typeof type !== 'string' || payload === null || typeof payload !== 'object') {
      return this._report(new Error(`keytap wrote an unexpected line: ${line}`));
    }
    if (type === 'down' || type === 'up') {
      this.emit(type, { accelerator: payload.accelerator, at: payload.at });
    } else if (type === 'ready') {
      this.permission = payload.permission;
      this.emit('ready', { permission: payload.permission });
    } else if (replyTypes.has(type)) {
      const waiting = this._pending.shift();
      if (!waiting) return this._report(new Error(`keytap replied to no command: ${line}`));
      if (type === 'error') waiting.reject(new KeytapError(payload.code, payload.message));
      else waiting.resolve(payload.accelerator);
    } else {
      this._report(new Error(`keytap wrote an unknown message type: ${line}`));
    }
  }

  // An 'error' event without a listener would throw inside the stream handler.
  _report(error) {
    if (this.listenerCount('error') > 0) this.emit('error', error);
  }
}

/**
 * Spawns keytap and resolves once it is ready. Rejects when the binary cannot be started or
 * exits before saying "ready".
 */
function start({ binary = 'keytap', noPrompt = false, env } = {}) {
  return new Promise((resolve, reject) => {
    const args = noPrompt ? ['--no-prompt'] : [];
    const child = spawn(binary, args, { stdio: ['pipe', 'pipe', 'ignore'], env });
    const keytap = new Keytap(child);
    const failed = (error) => {
      keytap.removeListener('ready', ready);
      reject(error);
    };
    const ready = () => {
      child.removeListener('error', failed);
      keytap.removeListener('exit', exitedEarly);
      resolve(keytap);
    };
    const exitedEarly = (code, signal) =>
      failed(new KeytapError('exited', `keytap exited before it was ready (${signal ?? code})`));
    child.once('error', (error) =>
      failed(new KeytapError('spawn', `cannot start keytap at ${binary}: ${error.message}`)),
    );
    keytap.once('exit', exitedEarly);
    keytap.once('ready', ready);
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => keytap._receive(chunk));
    // A host that writes after keytap died gets EPIPE here; the exit event reports it.
    child.stdin.on('error', () => {});
  });
}

module.exports = { start, KeytapError };
