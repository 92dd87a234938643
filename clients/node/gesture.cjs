'use strict';
// Tap, hold and double-tap over one accelerator's "down" and "up", judged on keytap's `at` times.
const { EventEmitter } = require('node:events');

/**
 * The decision alone, without a clock: fed key events and the times a timer finds due, it says
 * which gestures they make. Until a key comes, the next decision falls due at `deadline`.
 */
const maxMs = 2 ** 31 - 1;

class Recognizer {
  constructor({ holdMs = 250, doubleTapMs = 300 } = {}) {
    // A timer's longest wait: setTimeout takes a longer one for 1 ms.
    for (const ms of [holdMs, doubleTapMs]) {
      if (typeof ms !== 'number' || !(ms >= 0 && ms <= maxMs)) {
        throw new RangeError(`holdMs and doubleTapMs must be from 0 to ${maxMs} ms`);
      }
    }
    this.holdMs = holdMs;
    this.doubleTapMs = doubleTapMs;
    // pressed: down, not yet a hold; tapped: a tap released, a second press may follow. The
    // second press of a double-tap leaves it idle: its up, and how long it was held, say nothing.
    this.state = 'idle';
    this.at = 0; // of the down (pressed, holding) or of the tap's up (tapped)
  }

  get deadline() {
    if (this.state === 'pressed') return this.at + this.holdMs;
    if (this.state === 'tapped') return this.at + this.doubleTapMs;
    return undefined;
  }

  /** What is due by `now`: a press held holdMs is a hold, a tap with no second press is a tap. */
  tick(now) {
    if (!(now >= this.deadline)) return [];
    if (this.state === 'pressed') {
      this.state = 'holding';
      return [['hold-start', { at: this.at }]];
    }
    this.state = 'idle';
    return [['tap', { at: this.at }]];
  }

  /** A "down" or "up"; what fell due before its time is decided first, a late timer or not. */
  key(type, { at, synthetic, reason }) {
    const gestures = this.tick(at);
    // Only a key released is a tap: a press the client cut short before it was a hold is nothing.
    if (synthetic && this.state === 'pressed') {
      this.state = 'idle';
      return gestures;
    }
    if (type === 'down' && this.state === 'tapped') {
      this.state = 'idle';
      gestures.push(['double-tap', { at }]);
    } else if (type === 'down' && this.state === 'idle') {
      this.state = 'pressed';
      this.at = at;
    } else if (type === 'up' && this.state === 'pressed') {
      this.state = 'tapped';
      this.at = at;
    } else if (type === 'up' && this.state === 'holding') {
      this.state = 'idle';
      gestures.push(['hold-end', synthetic ? { at, synthetic, reason } : { at }]);
    }
    return gestures.concat(this.tick(at)); // a window of 0 ms is over at once
  }

  /** No more keys: a hold open ends, a tap waiting for a second press is reported. */
  end(at) {
    if (this.state === 'tapped') return this.tick(this.deadline);
    return this.key('up', { at, synthetic: true, reason: 'closed' });
  }
}

/** The gestures of one accelerator, as events; made by Keytap#gesture, fed by its key events. */
class Gesture extends EventEmitter {
  constructor(accelerator, options, onClose) {
    super();
    this.accelerator = accelerator;
    this._recognizer = new Recognizer(options);
    this._timer = undefined;
    this._onClose = onClose;
  }

  /** Stops the gestures: a hold open gets its hold-end (reason "closed"), a tap waiting comes now. */
  close() {
    this._onClose(this);
    this._run(this._recognizer.end(Date.now()), 0);
  }

  _key(type, event) {
    if (event.accelerator === this.accelerator) this._run(this._recognizer.key(type, event), event.at);
  }

  // The timer runs from when the event at `at` was heard: keytap's clock and the client's may
  // differ, the length of a window does not.
  _run(gestures, at) {
    clearTimeout(this._timer);
    const due = this._recognizer.deadline;
    if (due !== undefined) this._timer = setTimeout(() => this._run(this._recognizer.tick(due), due), due - at);
    for (const [name, fields] of gestures) this.emit(name, { accelerator: this.accelerator, ...fields });
  }
}

module.exports = { Gesture, Recognizer };
