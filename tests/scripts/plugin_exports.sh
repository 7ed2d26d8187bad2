#!/usr/bin/env bash
# The built plug-in exports `main` and nothing else, and needs no C++ runtime from the host's system.
# Receives the build folder as $1.
set -euo pipefail
plugin="${1:?usage: plugin_exports.sh BUILD_DIR}/Solvantis.so"
[ -f "$plugin" ] || { echo "no plug-in at $plugin" >&2; exit 1; }

exports=$(nm -D --defined-only "$plugin" | awk '{ print $NF }' | sort)
if [ "$exports" != "main" ]; then
    echo "the plug-in exports more than main:" >&2
    echo "$exports" >&2
    exit 1
fi

libraries=$(ldd "$plugin")
if grep -q 'libasan' <<<"$libraries"; then
    # The sanitizer build links its runtimes dynamically on purpose; the release build is the one shipped.
    echo "sanitizer build: C++ runtime check skipped"
    exit 0
fi
if grep -Eq 'libstdc\+\+|libgcc_s' <<<"$libraries"; then
    echo "the plug-in depends on a shared C++ runtime:" >&2
    echo "$libraries" >&2
    exit 1
fi
echo "exports: main; libraries:"
echo "$libraries"
