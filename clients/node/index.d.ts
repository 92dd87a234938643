// The ES module entry: the CommonJS entry's exports, and the same client as its default export.
import { start, KeytapError } from './index.cjs';

export * from './index.cjs';

declare const client: { start: typeof start; KeytapError: typeof KeytapError };
export default client;
