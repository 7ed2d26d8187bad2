#!/bin/sh
# What help2man reads for the man page: solvantis's help followed by each command's, with the build
# folder's path taken out of the usage lines. SOLVANTIS_BIN names the built program.
set -eu
bin=${SOLVANTIS_BIN:?SOLVANTIS_BIN names the solvantis program}
case "${1:-}" in
--version) "$bin" --version ;;
*)
  {
    "$bin" --help
    for command in render midi info validate preset compare; do
      echo
      echo "Command $command:"
      "$bin" "$command" --help
    done
    echo
    echo "Command preset save:"
    "$bin" preset save --help
  } | sed "s|$bin|solvantis|g"
  ;;
esac
