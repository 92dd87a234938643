// Xvfb for the client's tests that need keys.
import { spawn } from 'node:child_process';

/** Xvfb on the first free display; resolves with its name and a function that ends it. */
export async function startDisplay() {
  const server = spawn('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp'], {
    stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
  });
  let number = '';
  for await (const chunk of server.stdio[3]) {
    number += chunk;
    if (number.includes('\n')) break;
  }
  return { name: `:${number.trim()}`, stop: () => server.kill('SIGKILL') };
}
