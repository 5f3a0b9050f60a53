#!/usr/bin/env bash
# contract/openapi.yaml through Spectral's OpenAPI rules (openapi-lint-rules.yaml beside
# this script), offline, from the copy that ./dev deps installed with npm at the
# version pinned in package-lock.json. Warnings fail it as well as errors.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
spectral="$here/node_modules/.bin/spectral"
if [ ! -x "$spectral" ]; then
  echo "lint_openapi: $spectral is missing: run ./dev deps (it installs the linter with npm)" >&2
  exit 1
fi
exec "$spectral" lint --ruleset "$here/openapi-lint-rules.yaml" --fail-severity hint \
  "$here/../../contract/openapi.yaml"
