#!/usr/bin/env bash
# The installed tree runs on its own: cmake --install into a fresh prefix, then
# the installed dev server loads the installed plug-in with no path into the
# build folder (no runpath, no LD_LIBRARY_PATH), and a say line goes through.
#
#   install_test.sh <build dir>
set -euo pipefail
build="$1"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
plugin="$prefix/ArkApi/Plugins/QuellmoorBridge/QuellmoorBridge.so"
server="$prefix/bin/devserver"
for f in "$plugin" "$server" "$prefix"/lib*/libqb_host.so \
         "$prefix/ArkApi/Plugins/QuellmoorBridge/PluginInfo.json" \
         "$prefix/ArkApi/Plugins/QuellmoorBridge/config.example.json"; do
  [ -e "$f" ] || { echo "install_test: missing $f"; exit 1; }
done

# The example config names a schema that lies beside it.
folder="$prefix/ArkApi/Plugins/QuellmoorBridge"
schema=$(sed -n 's/^ *"\$schema": *"\([^"]*\)".*/\1/p' "$folder/config.example.json")
[ -n "$schema" ] && [ -f "$folder/$schema" ] ||
  { echo "install_test: config.example.json names \"$schema\", not beside it"; exit 1; }

# Every runpath of the installed binaries is relative to the binary itself.
for f in "$plugin" "$server" "$prefix"/lib*/libqb_host.so; do
  if readelf -d "$f" | grep -E 'R(UN)?PATH' | grep -v '\[\$ORIGIN[^]:]*\]$'; then
    echo "install_test: $f keeps a runpath that is not \$ORIGIN-relative"
    exit 1
  fi
done

cat >"$prefix/ArkApi/Plugins/QuellmoorBridge/config.json" <<JSON
{"webhookBaseUrl": "http://127.0.0.1:9", "token": "t", "map": "Insel"}
JSON
out=$(printf 'join Anna\nquit\n' | env -u LD_LIBRARY_PATH "$server" --root "$prefix" --quit-on-eof 2>&1)
echo "$out"
grep -q "Plugin QuellmoorBridge loaded from $prefix" <<<"$out" || { echo "install_test: plug-in not loaded"; exit 1; }
grep -q "\[QuellmoorBridge\] geladen (aktiv: true)." <<<"$out" || { echo "install_test: plug-in not active"; exit 1; }
grep -q "^OK join Anna" <<<"$out" || { echo "install_test: console did not answer"; exit 1; }
echo "install_test: installed tree runs from $prefix"
