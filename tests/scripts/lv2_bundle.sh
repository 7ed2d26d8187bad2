#!/usr/bin/env bash
# The LV2 bundle: its Turtle passes lv2_validate against the installed LV2 specifications, and its library
# exports lv2_descriptor alone and needs no C++ runtime from the host's system. Receives the bundle as $1.
set -euo pipefail
bundle="${1:?usage: lv2_bundle.sh BUNDLE_DIR}"
library="$bundle/Solvantis_lv2.so"
[ -f "$library" ] || { echo "no library at $library" >&2; exit 1; }

# Clean means a zero exit, "Found 0 errors" and no warning (lv2_validate's own note that it skips one of
# the specifications' files aside).
report=$(lv2_validate "$bundle"/*.ttl 2>&1) || { echo "$report" >&2; exit 1; }
if ! grep -q '^Found 0 errors' <<<"$report" || grep -qi 'warning' <<<"$report"; then
    echo "$report" >&2
    exit 1
fi
echo "lv2_validate: $(grep '^Found' <<<"$report")"

exports=$(nm -D --defined-only "$library" | awk '{ print $NF }' | sort)
if [ "$exports" != "lv2_descriptor" ]; then
    echo "the library exports more than lv2_descriptor:" >&2
    echo "$exports" >&2
    exit 1
fi
libraries=$(ldd "$library")
if ! grep -q 'libasan' <<<"$libraries" && grep -Eq 'libstdc\+\+|libgcc_s' <<<"$libraries"; then
    echo "the library depends on a shared C++ runtime:" >&2
    echo "$libraries" >&2
    exit 1
fi
echo "exports: lv2_descriptor"
