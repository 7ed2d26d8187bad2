# bash completion for solvantis: its commands, each command's options, the kind of file each argument
# takes (MIDI files, plug-ins, presets, audio files), the plug-in's control names after --set and its
# program numbers after --program, and the check names after --only and --skip. Works with Debian's
# bash-completion package and without it.

# Files matching an extended pattern such as '@(wav|flac)', and folders: bash-completion's _filedir
# where it is loaded, else the same from bash's own compgen.
_solvantis_files() {
  if declare -F _filedir >/dev/null; then
    _filedir "$1"
    return
  fi
  local cur=${COMP_WORDS[COMP_CWORD]} extglob_was=0 line
  shopt -q extglob && extglob_was=1
  shopt -s extglob
  COMPREPLY=()
  while IFS= read -r line; do COMPREPLY+=("$line"); done < <(compgen -f -X "!*.$1" -- "$cur"; compgen -d -- "$cur")
  [ "$extglob_was" = 1 ] || shopt -u extglob
  compopt -o filenames 2>/dev/null || true
}

# One section of what `solvantis info --json` prints about the plug-in the command line names (Solvantis
# by default): the parameter names ("parameters") or the program numbers ("programs"), one a line.
_solvantis_plugin_list() {
  local section=$1 plugin=() i key
  for ((i = 1; i < COMP_CWORD; i++)); do
    [ "${COMP_WORDS[i]}" = --plugin ] && plugin=(--plugin "${COMP_WORDS[i + 1]}")
  done
  [ "$section" = programs ] && key=index || key=name
  "${COMP_WORDS[0]}" info "${plugin[@]}" --json 2>/dev/null | awk -v section="$section" -v key="$key" '
    $0 ~ "^  \"" section "\": \\[" { inside = 1; next }
    inside && /^  []"]/ { exit }
    inside && $0 ~ "^      \"" key "\": " { sub("^      \"" key "\": \"?", ""); sub("\"?,?$", ""); print }'
}

_solvantis() {
  local cur prev command i
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  command=
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
    render | midi | info | validate | preset | compare) command=${COMP_WORDS[i]}; break ;;
    esac
  done

  # The value an option takes.
  case $prev in
  --plugin) _solvantis_files '@(so|dll|vst)'; return ;;
  --preset) _solvantis_files '@(fxp|fxb)'; return ;;
  -o | --output) _solvantis_files '@(wav|flac)'; return ;;
  --format) COMPREPLY=($(compgen -W 'wav flac' -- "$cur")); return ;;
  --bits) COMPREPLY=($(compgen -W '16 24 float' -- "$cur")); return ;;
  --tail) COMPREPLY=($(compgen -W 'auto' -- "$cur")); return ;;
  --only | --skip)
    # Comma-separated names too: the one after the last comma is completed.
    local done_part=
    [[ $cur == *,* ]] && done_part=${cur%,*},
    COMPREPLY=($(compgen -P "$done_part" -W "$("${COMP_WORDS[0]}" validate --list 2>/dev/null | cut -d' ' -f1)" \
      -- "${cur##*,}"))
    return ;;
  --set)
    # Control names in any letter case, completed to NAME= for the value.
    local name
    COMPREPLY=()
    while IFS= read -r name; do
      name=${name%"${name##*[![:space:]]}"} # "Legato " is Legato
      [[ -z $name || $name == *[[:space:]=]* ]] && continue
      [[ ${name,,} == "${cur,,}"* ]] && COMPREPLY+=("$name=")
    done < <(_solvantis_plugin_list parameters)
    compopt -o nospace 2>/dev/null || true
    return ;;
  --program)
    COMPREPLY=($(compgen -W "$(_solvantis_plugin_list programs)" -- "$cur"))
    return ;;
  --rate | --block | --channel | --track | --transpose | --max-length | --gain | \
    --normalize | --timeout | --jobs | --min-snr | --max-diff)
    return ;;
  esac

  local options
  case $command in
  '')
    COMPREPLY=($(compgen -W 'render midi info validate preset compare --help --version' -- "$cur"))
    return ;;
  render)
    options='-o --output --plugin --rate --block --program --keep-program-changes --preset --force --set
      --channel --track --transpose --tail --max-length --gain --normalize --format --bits --timeout
      --jobs --json --quiet --help --version' ;;
  midi) options='--json --help --version' ;;
  info) options='--plugin --preset --force --json --no-programs --help --version' ;;
  validate) options='--plugin --json --strict --timeout --only --skip --list --help --version' ;;
  preset) options='save --help --version' ;;
  compare) options='--min-snr --max-diff --help --version' ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  case $command in
  render | midi) _solvantis_files '@(mid|midi|MID|MIDI|smf|kar)' ;;
  info) _solvantis_files '@(so|dll|vst|mid|midi|MID|MIDI)' ;;
  validate) _solvantis_files '@(so|dll|vst)' ;;
  preset) if [[ " ${COMP_WORDS[*]} " == *" save "* ]]; then _solvantis_files '@(fxp|fxb)'; else
      COMPREPLY=($(compgen -W 'save' -- "$cur")); fi ;;
  compare) _solvantis_files '@(wav|flac)' ;;
  esac
} && complete -F _solvantis solvantis
