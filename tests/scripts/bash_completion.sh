#!/usr/bin/env bash
# The bash completion offers each command's options and the kind of file each argument takes.
# Receives the build folder as $1 and the source folder as $2.
set -euo pipefail
build=${1:?usage: bash_completion.sh BUILD_DIR SOURCE_DIR}
source_dir=${2:?usage: bash_completion.sh BUILD_DIR SOURCE_DIR}
# bash-completion's file filter, standing in for the real one: it shows the pattern it was given.
_filedir() { COMPREPLY=("files:${1:-}"); }
# shellcheck source=/dev/null
. "$source_dir/cli/shell/solvantis.bash"

failed=0
# The words typed (the last one being completed), then a word the answer must hold.
check() {
  local expected=$1
  shift
  COMP_WORDS=("$build/solvantis" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _solvantis
  if [[ " ${COMPREPLY[*]} " != *" $expected "* ]]; then
    echo "FAIL: solvantis $* -> '${COMPREPLY[*]}', wanted '$expected'" >&2
    failed=1
  fi
}
check midi mi
check --no-programs info --no
check --jobs render song.mid --jo
check 'files:@(mid|midi|MID|MIDI|smf|kar)' render ''
check 'files:@(so|dll|vst)' render song.mid --plugin ''
check 'files:@(fxp|fxb)' info --preset ''
check 'files:@(so|dll|vst)' validate ''
check flac render song.mid --format f
check audio-allocation validate --only audio
check save preset ''
# What the plug-in and the program report: control names in any letter case, program numbers.
check Pick= render song.mid --set pi
check PowerChord= render song.mid --set Po
check 127 render song.mid --program 12
check record,host-order validate --only record,ho

# Without bash-completion's _filedir, from bash's own: MIDI files and folders, not the others.
unset -f _filedir
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/songs" && touch "$scratch/song.mid" "$scratch/song.wav"
cd "$scratch"
check song.mid render s
check songs render s
check song.wav compare s
if [[ " ${COMPREPLY[*]} " == *" song.mid "* ]]; then
  echo "FAIL: compare offers the MIDI file" >&2
  failed=1
fi
[ "$failed" = 0 ] && echo "bash completion: 17 cases pass"
exit "$failed"
