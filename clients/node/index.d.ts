import { EventEmitter } from 'node:events';

export interface StartOptions {
  /** Path of the keytap binary; default "keytap" from PATH. */
  binary?: string;
  /** Pass --no-prompt: never ask the system to prompt for the listen permission. */
  noPrompt?: boolean;
  /** Environment of the helper; default this process's. */
  env?: NodeJS.ProcessEnv;
}

export interface KeyEvent {
  /** The accelerator text exactly as it was registered. */
  accelerator: string;
  /** Wall-clock milliseconds since 1970, with a fraction. */
  at: number;
}

export type ErrorCode = 'bad_request' | 'conflict' | 'forbidden' | 'exited' | 'spawn';

export class KeytapError extends Error {
  code: ErrorCode;
}

export interface Keytap extends EventEmitter {
  /** What keytap said at start: "granted" or "denied". */
  readonly permission: 'granted' | 'denied';
  /** Resolves with the text once registered; rejects with a KeytapError otherwise. */
  register(accelerator: string): Promise<string>;
  /** Resolves with the text; keytap answers every well-formed unregister. */
  unregister(accelerator: string): Promise<string>;
  /** Closes keytap's standard input; resolves with its exit status. */
  close(): Promise<number | null>;

  on(event: 'down' | 'up', listener: (event: KeyEvent) => void): this;
  on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: 'error', listener: (error: Error) => void): this;
  once(event: 'down' | 'up', listener: (event: KeyEvent) => void): this;
  once(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  once(event: 'error', listener: (error: Error) => void): this;
}

/** Spawns keytap and resolves once it has said "ready". */
export function start(options?: StartOptions): Promise<Keytap>;

declare const client: { start: typeof start; KeytapError: typeof KeytapError };
export default client;
