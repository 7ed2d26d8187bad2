#!/usr/bin/env bash
# cmake --install into a temporary prefix: every file is there, the installed solvantis finds the
# installed plug-in, and lilv (the LV2 host library) lists the installed bundle as an instrument and
# instantiates and runs it. Receives the build folder as $1.
set -euo pipefail
build=${1:?usage: install_prefix.sh BUILD_DIR}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/solvantis lib/vst/Solvantis.so share/man/man1/solvantis.1 \
  share/bash-completion/completions/solvantis lib/lv2/Solvantis.lv2/Solvantis_lv2.so \
  lib/lv2/Solvantis.lv2/manifest.ttl lib/lv2/Solvantis.lv2/Solvantis.ttl lib/lv2/Solvantis.lv2/presets.ttl; do
  [ -s "$prefix/$file" ] || fail "cmake --install left out $file"
done
grep -q '^\.TH SOLVANTIS' "$prefix/share/man/man1/solvantis.1" || fail "the man page has no title line"

# The installed program takes the installed plug-in (bin/../lib/vst), not the one in the build folder.
info=$("$prefix/bin/solvantis" info --no-programs) || fail "the installed solvantis cannot load its plug-in"
[[ $info == *"$prefix/bin/../lib/vst/Solvantis.so"* ]] || fail "the installed solvantis loads another plug-in: $info"

if command -v lv2ls >/dev/null && command -v lv2bench >/dev/null; then
  export LV2_PATH="$prefix/lib/lv2:/usr/lib/lv2"
  [ "$(lv2ls | grep -c '^urn:quelvarin:solvantis$')" = 1 ] || fail "lv2ls does not list the installed bundle"
  described=$(lv2info urn:quelvarin:solvantis)
  grep -q "Bundle: *file://$prefix/lib/lv2/Solvantis.lv2/" <<<"$described" ||
    fail "lv2info does not find the bundle under the prefix"
  grep -q 'Class: *Instrument' <<<"$described" || fail "lilv does not see an instrument"
  # lv2bench instantiates the plug-in and runs it; it prints a time only when that worked. A library
  # built with a sanitizer runs only in a program that starts the sanitizer's runtime first (lv2_tests
  # instantiate it there).
  # (ldd's list is read whole first: under pipefail, grep -q stopping at the first match could fail ldd.)
  libraries=$(ldd "$prefix/lib/lv2/Solvantis.lv2/Solvantis_lv2.so")
  if grep -q 'lib[at]san' <<<"$libraries"; then
    echo "the bundle is built with a sanitizer: lv2bench does not instantiate it here" >&2
  else
    ran=$(lv2bench urn:quelvarin:solvantis 2>&1)
    grep -q '^[0-9.]* urn:quelvarin:solvantis$' <<<"$ran" || fail "lilv cannot instantiate the installed bundle"
  fi
else
  echo "lilv's tools (lilv-utils) are missing: the bundle is not checked through lilv" >&2
fi
[ "$failed" = 0 ] && echo "install: every file under the prefix, and lilv plays the installed bundle"
exit "$failed"
