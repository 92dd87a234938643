'use strict';
// A host-side client for keytap: spawns the helper, matches replies to commands by order (the
// protocol has no request ids), turns "down"/"up" lines into events, and sees to it that every
// "down" it delivered is followed by exactly one "up", whatever becomes of keytap.
const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const { findBinary } = require('./find-binary.cjs');
const { Gesture } = require('./gesture.cjs');
const { KeytapError } = require('./keytap-error.cjs');

// keytap's "error" reply, with a code a program can switch on; the message stays keytap's.
function replyError({ code, message }) {
  const text = String(message);
  if (code === 'bad_request' && text.startsWith('unknown accelerator: ')) return new KeytapError('unknown_accelerator', text);
  if (code === 'bad_request' && text.startsWith('not available on this platform: ')) return new KeytapError('not_available', text);
  return new KeytapError(code, message);
}

const replyTypes = new Set(['registered', 'unregistered', 'error', 'capturing', 'capture_cancelled', 'described']);
// Waits before each restart; a keytap that dies again this many times in a row is given up.
const restartDelaysMs = [100, 400, 1600, 3200, 6400];
// A keytap that ran this long before it died was no failure of the restart.
const steadyAfterMs = 10000;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

class Keytap extends EventEmitter {
  constructor(options) {
    super();
    this.permission = undefined;
    this.exitCode = undefined;
    this._options = options;
    this._child = null;
    this._ready = false; // commands may be written to the current keytap
    this._readyAt = 0;
    this._buffer = '';
    this._sent = []; // commands written and not yet answered, oldest first
    this._waiting = []; // commands held back while keytap restarts
    this._outstanding = new Set(); // every reply not yet settled, for close()
    this._registered = new Map(); // text to its callbacks, in the order registered
    this._held = new Set(); // texts whose "down" was delivered and "up" not yet
    this._gestures = new Set(); // fed every key event, until closed
    this._capture = null; // the capture running: its callers, and whether keytap has begun it
    this._stopping = null; // "closed" or "killed" once the host ends keytap
    this._failures = 0;
    this._ended = new Promise((resolve) => (this._end = resolve));
  }

  /** The keytap process's id. */
  get pid() {
    return this._child?.pid;
  }

  /**
   * Starts reporting the accelerator; `down` and `up` are called for it beside the events. With
   * `consume` (start({ consume: true })), its key is kept from the other programs while pressed.
   */
  register(accelerator, callbacks = {}) {
    return this._send('register', accelerator, callbacks);
  }

  /** Stops reporting the accelerator; a hold still open gets its synthetic "up" first. */
  unregister(accelerator) {
    return this._send('unregister', accelerator);
  }

  /**
   * Records the next chord the user presses (start({ capture: true })): resolves with its text,
   * which registers exactly that chord, and its label in the user's keyboard layout. Registered
   * accelerators rest meanwhile; 'capturing' is emitted once keytap records. Callers while one
   * runs share it; aborting a caller's signal rejects that caller's promise, and cancels the
   * capture once no caller is left.
   */
  capture({ signal } = {}) {
    if (signal?.aborted) return Promise.reject(signal.reason);
    let run = this._capture;
    if (!run) {
      run = { callers: new Set(), begun: false };
      this._capture = run;
      const refused = (error) => this._endCapture(run, (caller) => caller.reject(error));
      this._send('capture', undefined, undefined, run).catch(refused);
    }
    return new Promise((resolve, reject) => {
      const caller = { resolve, reject, signal };
      caller.abort = () => {
        run.callers.delete(caller);
        reject(signal.reason);
        if (run.callers.size === 0 && this._capture === run) {
          this._capture = null;
          this._send('cancel_capture').catch(() => {});
        }
      };
      run.callers.add(caller);
      signal?.addEventListener('abort', caller.abort, { once: true });
    });
  }

  // Ends the capture at once, so that a capture() called next starts a new one.
  _endCapture(run, settle) {
    if (this._capture === run) this._capture = null;
    for (const caller of run.callers) {
      caller.signal?.removeEventListener('abort', caller.abort);
      settle(caller);
    }
    run.callers.clear();
  }

  /**
   * Tap, hold and double-tap of the accelerator, judged on keytap's times, as 'tap', 'hold-start',
   * 'hold-end' and 'double-tap' events. It follows the text whether registered or not, across
   * restarts, until closed or keytap ends for good.
   */
  gesture(accelerator, options) {
    if (typeof accelerator !== 'string') throw new TypeError('accelerator must be a string');
    const gesture = new Gesture(accelerator, options, (closed) => this._gestures.delete(closed));
    this._gestures.add(gesture);
    return gesture;
  }

  /** Resolves with the accelerator's label in the user's keyboard layout (start({ capture: true })). */
  describe(accelerator) {
    return this._send('describe', accelerator);
  }

  /** The accelerators registered now, in the order they were registered. */
  registered() {
    return [...this._registered.keys()];
  }

  isRegistered(accelerator) {
    return this._registered.has(accelerator);
  }

  /** Registers each text; resolves with those registered and those that failed, and why. */
  async registerAll(accelerators) {
    const outcomes = await Promise.allSettled(accelerators.map((text) => this.register(text)));
    const failed = [];
    outcomes.forEach((outcome, i) => {
      if (outcome.status === 'rejected') failed.push({ accelerator: accelerators[i], error: outcome.reason });
    });
    return { registered: accelerators.filter((_, i) => outcomes[i].status === 'fulfilled'), failed };
  }

  /** Unregisters every accelerator; resolves with their texts. */
  unregisterAll() {
    return Promise.all(this.registered().map((text) => this.unregister(text)));
  }

  /** Waits for every reply still due, then ends keytap; resolves with its exit status. */
  close() {
    if (!this._stopping) {
      this._stopping = 'closed';
      Promise.allSettled([...this._outstanding]).then(() => this._child?.stdin.end());
    }
    return this._ended;
  }

  /** Ends keytap at once, answered or not; resolves with its exit status. */
  kill(signal = 'SIGTERM') {
    this._stopping ??= 'killed';
    this._child?.kill(signal);
    return this._ended;
  }

  // Spawns keytap and resolves once it has said "ready"; rejects and kills it otherwise.
  _launch(signal) {
    const { binary, noPrompt, extendedKeys, mouseButtons, capture, consume, portal, env, timeoutMs } =
      this._options;
    // The flags ask keytap to close holds whose release it missed and to say when it stops or
    // starts listening; a keytap that does not know them ignores them.
    const args = [
      ...(noPrompt ? ['--no-prompt'] : []),
      ...(extendedKeys ? ['--extended-keys'] : []),
      ...(mouseButtons ? ['--mouse-buttons'] : []),
      ...(capture ? ['--capture'] : []),
      ...(consume ? ['--consume'] : []),
      ...(portal ? [typeof portal === 'string' ? `--portal=${portal}` : '--portal'] : []),
      '--release-stale-holds',
      '--status',
    ];
    return new Promise((resolve, reject) => {
      // In a group of its own: a terminal's Ctrl+C is meant for the host. keytap still ends with
      // the host, at the end of its standard input.
      const child = spawn(binary, args, {
        stdio: ['pipe', 'pipe', 'ignore'],
        env,
        detached: process.platform !== 'win32',
        windowsHide: true,
      });
      this._child = child;
      this._buffer = '';
      let starting = true;
      let ready = false;
      const settle = () => {
        starting = false;
        clearTimeout(timer);
        signal?.removeEventListener('abort', abort);
      };
      const fail = (error) => {
        if (!starting) return;
        settle();
        child.kill('SIGKILL');
        reject(error);
      };
      const timer = setTimeout(
        () => fail(new KeytapError('timeout', `keytap did not say ready within ${timeoutMs} ms`)),
        timeoutMs,
      );
      const abort = () => fail(signal.reason);
      if (signal?.aborted) return abort();
      signal?.addEventListener('abort', abort, { once: true });
      this._onReady = () => {
        settle();
        ready = true;
        resolve();
      };
      child.once('error', (error) =>
        fail(new KeytapError('spawn', `cannot start keytap at ${binary}: ${error.message}`)),
      );
      // Once keytap and its output have ended: every reply it wrote has been read.
      child.once('close', (code, exitSignal) => {
        const status = exitSignal ?? code;
        if (starting) fail(new KeytapError('exited', `keytap exited before it was ready (${status})`));
        else if (ready) this._exited(code, exitSignal);
      });
      // A host that writes after keytap died gets EPIPE here; the close event reports it.
      child.stdin.on('error', () => {});
      child.stdout.setEncoding('utf8');
      child.stdout.on('data', (chunk) => this._receive(chunk));
    });
  }

  // Every command but capture and cancel_capture names an accelerator; a capture carries its run.
  _send(type, accelerator, callbacks, run) {
    const bare = type === 'capture' || type === 'cancel_capture';
    if (!bare && typeof accelerator !== 'string') {
      return Promise.reject(new TypeError('accelerator must be a string'));
    }
    if (this._stopping) return Promise.reject(new KeytapError('closed', 'keytap was closed'));
    if (!this._child) return Promise.reject(new KeytapError('exited', 'keytap is not running'));
    const command = { type, accelerator, callbacks, run };
    const reply = new Promise((resolve, reject) => Object.assign(command, { resolve, reject }));
    this._outstanding.add(reply);
    const forget = () => this._outstanding.delete(reply);
    reply.then(forget, forget);
    if (this._ready) this._write(command);
    else this._waiting.push(command);
    return reply;
  }

  _write(command) {
    this._sent.push(command);
    const payload = command.accelerator === undefined ? {} : { accelerator: command.accelerator };
    if (command.type === 'register' && command.callbacks?.consume === true) payload.consume = true;
    const line = JSON.stringify({ t: command.type, d: payload });
    this._child.stdin.write(line + '\n');
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
      this._key(type, payload);
    } else if (type === 'captured') {
      // A chord that comes before the running capture has begun belongs to one cancelled since.
      const chord = { accelerator: payload.accelerator, label: payload.label };
      if (typeof payload.taken === 'string') chord.taken = payload.taken;
      if (this._capture?.begun) this._endCapture(this._capture, (caller) => caller.resolve(chord));
    } else if (type === 'capture_held') {
      // Modifiers held for a capture cancelled since are no one's.
      if (this._capture?.begun) {
        this.emit('capture_held', { accelerator: payload.accelerator, label: payload.label });
      }
    } else if (type === 'status') {
      this.emit('status', { listening: payload.listening, reason: payload.reason });
    } else if (type === 'binding') {
      const { accelerator, state, trigger } = payload;
      this.emit('binding', { accelerator, state, trigger });
    } else if (type === 'ready') {
      this.permission = payload.permission;
      this._readyAt = Date.now();
      this._onReady();
    } else if (replyTypes.has(type)) {
      const command = this._sent.shift();
      if (!command) return this._report(new Error(`keytap replied to no command: ${line}`));
      this._reply(command, type, payload);
    } else {
      this._report(new Error(`keytap wrote an unknown message type: ${line}`));
    }
  }

  _reply(command, type, payload) {
    const { accelerator } = command;
    if (type === 'error') return command.reject(replyError(payload));
    if (type === 'described') return command.resolve(payload.label);
    if (type === 'capturing' && command.run === this._capture) {
      this._capture.begun = true;
      this.emit('capturing');
    }
    if (type === 'capturing' || type === 'capture_cancelled') return command.resolve();
    if (type === 'registered') {
      this._registered.set(accelerator, command.callbacks);
    } else {
      // keytap sends no "up" after "unregistered": the hold ends here.
      if (this._held.has(accelerator)) this._release(accelerator, 'unregistered');
      this._registered.delete(accelerator);
    }
    command.resolve(accelerator);
  }

  _key(type, { accelerator, at, alone }) {
    if (type === 'down' ? this._held.has(accelerator) : !this._held.has(accelerator)) return;
    if (type === 'down') this._held.add(accelerator);
    else this._held.delete(accelerator);
    // The "up" of a modifier held alone says whether another key or button went down meanwhile.
    this._deliver(type, typeof alone === 'boolean' ? { accelerator, at, alone } : { accelerator, at });
  }

  _release(accelerator, reason) {
    this._held.delete(accelerator);
    this._deliver('up', { accelerator, at: Date.now(), synthetic: true, reason });
  }

  _deliver(type, event) {
    this._registered.get(event.accelerator)?.[type]?.(event);
    this.emit(type, event);
    for (const gesture of this._gestures) gesture._key(type, event);
  }

  _exited(code, signal) {
    this.exitCode = code;
    this._ready = false;
    const reason = this._stopping ?? 'exited';
    for (const accelerator of [...this._held]) this._release(accelerator, reason);
    const lost = new KeytapError(reason, 'keytap ended before a chord was captured');
    if (this._capture) this._endCapture(this._capture, (caller) => caller.reject(lost));
    // Whatever was registered is not any more; a register still waiting was not carried out.
    for (const command of this._sent.splice(0)) {
      if (command.type === 'unregister') {
        this._registered.delete(command.accelerator);
        command.resolve(command.accelerator);
      } else {
        const why = `keytap ended before it answered (${signal ?? code})`;
        command.reject(new KeytapError(this._stopping ?? 'exited', why));
      }
    }
    if (this._options.autoRestart && !this._stopping) return this._restart(code, signal);
    this._finish(code, signal);
  }

  async _restart(code, signal) {
    // A keytap that dies soon after it started failed as much as one that could not start.
    this._failures = Date.now() - this._readyAt < steadyAfterMs ? this._failures + 1 : 0;
    while (this._failures < restartDelaysMs.length) {
      await sleep(restartDelaysMs[this._failures]);
      if (this._stopping) break;
      try {
        await this._launch();
      } catch {
        this._failures += 1;
        continue;
      }
      return this._reregister();
    }
    this._finish(code, signal);
  }

  // Registers the set again, in its order, before the commands that came meanwhile.
  async _reregister() {
    const previous = [...this._registered];
    this._registered.clear();
    const commands = previous.map(([accelerator, callbacks]) => {
      const command = { type: 'register', accelerator, callbacks };
      const reply = new Promise((resolve, reject) => Object.assign(command, { resolve, reject }));
      this._write(command);
      return reply;
    });
    for (const command of this._waiting.splice(0)) this._write(command);
    this._ready = true;
    const outcomes = await Promise.allSettled(commands);
    const failed = [];
    outcomes.forEach((outcome, i) => {
      if (outcome.status === 'rejected') failed.push({ accelerator: previous[i][0], error: outcome.reason });
    });
    this.emit('restart', { pid: this.pid, permission: this.permission, failed });
  }

  _finish(code, signal) {
    if (!this._child) return;
    for (const command of this._waiting.splice(0)) {
      command.reject(new KeytapError(this._stopping ?? 'exited', 'keytap is not running'));
    }
    this._child = null;
    this._registered.clear();
    for (const gesture of this._gestures) gesture.close();
    this.emit('exit', code, signal);
    this._end(code);
  }

  // An 'error' event without a listener would throw inside the stream handler.
  _report(error) {
    if (this.listenerCount('error') > 0) this.emit('error', error);
  }
}

/**
 * Spawns keytap and resolves once it is ready. Rejects with a KeytapError when the binary
 * cannot be found or started ("spawn"), exits first ("exited") or stays silent for timeoutMs
 * ("timeout"), and with the signal's reason when it is aborted.
 */
async function start({
  binary,
  noPrompt = false,
  extendedKeys = false,
  mouseButtons = false,
  capture = false,
  consume = false,
  portal = false,
  env,
  timeoutMs = 5000,
  signal,
  autoRestart = false,
} = {}) {
  const keytap = new Keytap({
    binary: findBinary({ binary }),
    noPrompt,
    extendedKeys,
    mouseButtons,
    capture,
    consume,
    portal,
    env,
    timeoutMs,
    autoRestart,
  });
  await keytap._launch(signal);
  keytap._ready = true;
  return keytap;
}

module.exports = { start, KeytapError };
