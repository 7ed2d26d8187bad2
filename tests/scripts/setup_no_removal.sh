#!/usr/bin/env bash
# scripts/setup never removes a musician's software. On a simulated fresh machine (apt's simulation
# over an empty package database, with this machine's package lists), the packages scripts/setup asks
# for install first, and then what they brought installs beside jackd2, Qtractor and Ardour (and what
# "scripts/setup live" adds) without removing anything: no package it picks (JACK 1's libjack-dev, say) forces a sound
# server out. Receives the source folder as $1. Installs nothing.
set -euo pipefail
source_dir=${1:?usage: setup_no_removal.sh SOURCE_DIR}
if ! apt-cache show jackd2 qtractor ardour >/dev/null 2>&1; then
  echo "SKIP: apt's package lists do not know jackd2, qtractor and ardour (run apt-get update)"
  exit 77
fi
grep -q -- '--no-remove' "$source_dir/scripts/setup" || {
  echo "FAIL: scripts/setup installs without apt-get --no-remove" >&2
  exit 1
}
empty=$(mktemp)
trap 'rm -f "$empty"' EXIT
simulate() {
  apt-get install -s -q --no-install-recommends --no-remove -o Dir::State::status="$empty" "$@" 2>&1
}

# The set-up alone, on a fresh machine: the packages apt would pick for it.
mapfile -t packages < <("$source_dir/scripts/setup" --print-packages)
if ! first=$(simulate "${packages[@]}"); then
  echo "FAIL: apt cannot install what scripts/setup asks for on a fresh machine:" >&2
  echo "$first" | tail -5 >&2
  exit 1
fi
mapfile -t picked < <(echo "$first" | sed -n 's/^Inst \([^ ]*\) .*/\1/p')

# Everything it brought, with the musician's programs: one set that apt installs without removal.
mapfile -t live < <("$source_dir/scripts/setup" --print-packages live)
if ! second=$(simulate "${picked[@]}" "${live[@]}" jackd2 qtractor ardour); then
  echo "FAIL: what scripts/setup installs cannot live beside jackd2, qtractor and ardour:" >&2
  echo "$second" | grep -E 'Conflicts|Breaks|Depends|^E:' | head -8 >&2
  exit 1
fi
if grep -q '^Remv' <<<"$first$second"; then
  echo "FAIL: apt would remove packages:" >&2
  echo "$first$second" | grep '^Remv' >&2
  exit 1
fi
echo "setup: ${#packages[@]} packages asked for, ${#picked[@]} installed on a fresh machine, all beside jackd2, qtractor and ardour"
