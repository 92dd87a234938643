import { EventEmitter } from 'node:events';

export interface StartOptions {
  /**
   * Path of the keytap binary; default KEYTAP_BINARY from the environment, else the binary of the
   * installed platform package (@keytap/<platform>), else "keytap" on PATH.
   */
  binary?: string;
  /** Pass --no-prompt: never ask the system to prompt for the listen permission. */
  noPrompt?: boolean;
  /**
   * Pass --extended-keys: left/right modifiers (RightAlt), modifiers held alone (RightAlt,
   * Ctrl+Shift, Fn), the keypad (Numpad7), F21-F24 and IntlBackslash.
   */
  extendedKeys?: boolean;
  /**
   * Pass --mouse-buttons: the middle and side mouse buttons as keys (MouseMiddle, MouseBack,
   * MouseForward; Mouse3, Mouse4, Mouse5), alone or with modifiers (Shift+Mouse4).
   */
  mouseButtons?: boolean;
  /** Pass --capture: capture() records the next chord pressed, describe() labels a text. */
  capture?: boolean;
  /**
   * Pass --consume: register(text, { consume: true }) keeps that key from the other programs while
   * it is pressed (X11 now; on other systems the register is refused).
   */
  consume?: boolean;
  /**
   * Pass --portal (true) or --portal=APP_ID (a string): on a Wayland desktop where keytap reads no
   * keyboard, the desktop's GlobalShortcuts portal binds the shortcuts; it takes their keys from
   * the windows. What became of each comes as a 'binding' event.
   */
  portal?: boolean | string;
  /** Environment of the helper; default this process's. */
  env?: NodeJS.ProcessEnv;
  /** How long keytap may take to say "ready"; default 5000 ms. */
  timeoutMs?: number;
  /** Cancels the start: the promise rejects with the signal's reason and keytap is killed. */
  signal?: AbortSignal;
  /** Start a new keytap when this one dies unexpectedly, and register the same set again. */
  autoRestart?: boolean;
}

export interface KeyEvent {
  /** The accelerator text exactly as it was registered. */
  accelerator: string;
  /** Wall-clock milliseconds since 1970, with a fraction. */
  at: number;
  /**
   * On the "up" of a modifier-only accelerator (extendedKeys): true when no other key or button
   * went down during the hold, false when it was used as a chord.
   */
  alone?: boolean;
  /** Set on an "up" the client made because keytap can no longer send the real one. */
  synthetic?: true;
  /** Why a synthetic "up" was made. */
  reason?: 'unregistered' | 'exited' | 'closed' | 'killed';
}

export interface GestureOptions {
  /** A press held this long is a hold; released sooner, a tap. Default 250 ms; 0: every press a hold. */
  holdMs?: number;
  /**
   * A second press this soon after a tap's release is a double-tap, and a tap is reported only
   * once this time has passed without one. Default 300 ms; 0: no double-tap, a tap at its release.
   */
  doubleTapMs?: number;
}

export type GestureName = 'tap' | 'hold-start' | 'hold-end' | 'double-tap';

export interface GestureEvent {
  /** The accelerator text exactly as it was passed to gesture(). */
  accelerator: string;
  /**
   * keytap's time of the key event, in ms since 1970: the release for 'tap' and 'hold-end', the
   * press for 'hold-start' (reported holdMs later), the second press for 'double-tap'.
   */
  at: number;
  /** On a 'hold-end' whose release can no longer come: the synthetic "up" it ends with. */
  synthetic?: true;
  /** Why: that "up"'s reason, or "closed" when the gesture was closed. */
  reason?: 'unregistered' | 'exited' | 'closed' | 'killed';
}

/** The gestures of one accelerator; every 'hold-start' is followed by exactly one 'hold-end'. */
export interface Gesture extends EventEmitter {
  readonly accelerator: string;
  /** No more gestures: a hold open gets its 'hold-end' (reason "closed"), a tap waiting comes now. */
  close(): void;
  on(event: GestureName, listener: (event: GestureEvent) => void): this;
  once(event: GestureName, listener: (event: GestureEvent) => void): this;
  off(event: GestureName, listener: (event: GestureEvent) => void): this;
}

export interface CapturedChord {
  /** keytap's text for the chord; registering it matches exactly that chord. */
  accelerator: string;
  /** The chord as the user's keyboard layout shows it, such as "Ctrl+Shift+Z" or "⌃⇧Z". */
  label: string;
  /**
   * Who holds the chord already, where the system can tell (macOS, X11, Windows): the system's
   * own shortcut or another program's hotkey; absent when free or when nothing can tell.
   */
  taken?: 'system' | 'another program';
}

export interface CaptureHeldEvent {
  /** The modifiers held, in keytap's words ("Control+Shift"); empty when none is. */
  accelerator: string;
  /** The same as a label begins with them ("Ctrl+Shift", "⌃⇧"); empty when none is. */
  label: string;
}

export interface BindingEvent {
  /** The accelerator text exactly as it was registered. */
  accelerator: string;
  /** Whether the desktop bound it; "unbound" when the user removed it later. */
  state: 'bound' | 'refused' | 'failed' | 'unbound';
  /** The desktop's description of the keys that press it, for display; empty unless bound. */
  trigger: string;
}

export interface KeyCallbacks {
  down?: (event: KeyEvent) => void;
  up?: (event: KeyEvent) => void;
  /** Keep the key from the other programs while it is pressed (start({ consume: true })). */
  consume?: boolean;
}

export interface StatusEvent {
  /** Whether keytap can hear keys now. */
  listening: boolean;
  /** Why it cannot, such as "display lost"; absent when listening. */
  reason?: string;
}

export interface RestartEvent {
  pid: number | undefined;
  permission: 'granted' | 'denied';
  /** Accelerators the new keytap refused, with its reason; they are no longer registered. */
  failed: Array<{ accelerator: string; error: KeytapError }>;
}

export type ErrorCode =
  | 'unknown_accelerator'
  | 'not_available'
  | 'bad_request'
  | 'conflict'
  | 'forbidden'
  | 'exited'
  | 'spawn'
  | 'timeout'
  | 'closed';

export class KeytapError extends Error {
  code: ErrorCode;
}

export interface Keytap extends EventEmitter {
  /** What keytap said at start: "granted" or "denied". */
  readonly permission: 'granted' | 'denied';
  /** keytap's exit status once it has ended (null after a signal); undefined while it runs. */
  readonly exitCode: number | null | undefined;
  /** The keytap process's id. */
  readonly pid: number | undefined;
  /** Resolves with the text once registered; rejects with a KeytapError otherwise. */
  register(accelerator: string, callbacks?: KeyCallbacks): Promise<string>;
  /** Resolves with the text; an open hold gets its synthetic "up" first. */
  unregister(accelerator: string): Promise<string>;
  /**
   * Records the next chord the user presses; registered accelerators rest meanwhile, and
   * 'capturing' is emitted once keytap records: keys pressed before it are not. Calls while
   * one runs share it; aborting a call's signal rejects that call with the signal's reason, and
   * cancels the capture once no call waits for it.
   */
  capture(options?: { signal?: AbortSignal }): Promise<CapturedChord>;
  /**
   * Tap, hold and double-tap of the accelerator, from its "down" and "up" and keytap's times. It
   * follows the text whether registered or not, across restarts, until closed or keytap ends.
   */
  gesture(accelerator: string, options?: GestureOptions): Gesture;
  /** The accelerator's label in the user's keyboard layout. */
  describe(accelerator: string): Promise<string>;
  /** The accelerators registered now, in the order they were registered. */
  registered(): string[];
  isRegistered(accelerator: string): boolean;
  registerAll(
    accelerators: string[],
  ): Promise<{ registered: string[]; failed: Array<{ accelerator: string; error: KeytapError }> }>;
  unregisterAll(): Promise<string[]>;
  /** Waits for every reply still due, then ends keytap; resolves with its exit status. */
  close(): Promise<number | null>;
  /** Ends keytap at once; resolves with its exit status. */
  kill(signal?: NodeJS.Signals): Promise<number | null>;

  on(event: 'down' | 'up', listener: (event: KeyEvent) => void): this;
  on(event: 'status', listener: (event: StatusEvent) => void): this;
  on(event: 'binding', listener: (event: BindingEvent) => void): this;
  /** A capture() has begun in keytap: the chord pressed from now on is the one recorded. */
  on(event: 'capturing', listener: () => void): this;
  /** During a capture(), the modifiers held changed: show them before the key comes. */
  on(event: 'capture_held', listener: (event: CaptureHeldEvent) => void): this;
  on(event: 'restart', listener: (event: RestartEvent) => void): this;
  on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: 'error', listener: (error: Error) => void): this;
  once(event: 'down' | 'up', listener: (event: KeyEvent) => void): this;
  once(event: 'status', listener: (event: StatusEvent) => void): this;
  once(event: 'binding', listener: (event: BindingEvent) => void): this;
  once(event: 'capturing', listener: () => void): this;
  once(event: 'capture_held', listener: (event: CaptureHeldEvent) => void): this;
  once(event: 'restart', listener: (event: RestartEvent) => void): this;
  once(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  once(event: 'error', listener: (error: Error) => void): this;
}

/** Spawns keytap and resolves once it has said "ready". */
export function start(options?: StartOptions): Promise<Keytap>;
