// The Node.js client with a portal: registers the accelerator given, then writes every binding,
// down and up event it delivers as a JSON line, until its input ends.
import { start } from '../../clients/node/index.js';

const [binary, accelerator] = process.argv.slice(2);
const keytap = await start({ binary, portal: 'org.example.App' });
for (const kind of ['binding', 'down', 'up']) {
  keytap.on(kind, (event) => console.log(JSON.stringify({ kind, ...event, at: undefined })));
}
await keytap.register(accelerator);
process.stdin.resume();
process.stdin.on('end', () => keytap.close());
