#!/usr/bin/env bash
# contract/openapi.yaml through Spectral's OpenAPI rules (openapi-lint-rules.yaml beside
# this script), offline, from the copy that ./dev deps installed with npm at the
# version pinned in package-lock.json. Warnings fail it as well as errors.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
spectral="$here/node_modules/.bin/spectral"
# Without the linter (a packager's build) the test is skipped (exit code 77,
# ctest's SKIP_RETURN_CODE); ./dev test sets QB_REQUIRE_OPTIONAL_TOOLS=1, and
# there a missing linter fails.
if [ ! -x "$spectral" ]; then
  echo "lint_openapi: skipped: $spectral is missing (./dev deps installs the linter with npm)"
  [ "${QB_REQUIRE_OPTIONAL_TOOLS:-}" = 1 ] && { echo "QB_REQUIRE_OPTIONAL_TOOLS=1: a skip fails" >&2; exit 1; }
  exit 77
fi
exec "$spectral" lint --ruleset "$here/openapi-lint-rules.yaml" --fail-severity hint \
  "$here/../../contract/openapi.yaml"
