// ES module entry; the implementation is shared with CommonJS users.
import client from './index.cjs';

export const { start, KeytapError } = client;
export default client;
