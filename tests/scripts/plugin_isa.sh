#!/usr/bin/env bash
# The built plug-in runs on every x86 processor with SSE2: AVX instructions (VEX-encoded, mnemonics from
# "v") appear only in the functions compiled for processors with AVX2, which run after the processor was
# found to have it (the math's FMA path and the AVX2 render). An inline function or a template compiled
# into those regions by mistake would bring them into code that every processor runs; the engine's
# libraries are checked as well as the plug-in, since the linker may keep either copy of an inline function.
# Receives the build folder as $1.
set -euo pipefail
plugin="${1:?usage: plugin_isa.sh BUILD_DIR}/Solvantis.so"
[ -f "$plugin" ] || { echo "no plug-in at $plugin" >&2; exit 1; }

build="$1"
functions=$(objdump -d --no-show-raw-insn -C "$plugin" "$build"/libsolvantis_*.a | awk '
  /^[0-9a-f]+ <.*>:$/ { fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn); next }
  /^ +[0-9a-f]+:\t/ { split($0, a, "\t"); m = a[2]; sub(/ .*/, "", m); if (m ~ /^v/ && !(fn in seen)) { seen[fn] = 1; print fn } }' | sort -u)
if [ -z "$functions" ]; then
    echo "no AVX instructions at all: the AVX2 paths are missing" >&2
    exit 1
fi
stray=$(grep -Ev '^(auto )?solvantis::(render::wide::|math::\(anonymous namespace\)::hard::)' <<<"$functions" || true)
if [ -n "$stray" ]; then
    echo "AVX instructions outside the AVX2 paths, in:" >&2
    echo "$stray" >&2
    exit 1
fi
echo "AVX instructions only in the AVX2 paths ($(wc -l <<<"$functions") functions)"
