# bash completion for solvantis: its commands, each command's options, and the kind of file each
# argument takes (MIDI files, plug-ins, presets, audio files).

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
  --plugin) _filedir '@(so|dll|vst)'; return ;;
  --preset) _filedir '@(fxp|fxb)'; return ;;
  -o | --output) _filedir '@(wav|flac)'; return ;;
  --format) COMPREPLY=($(compgen -W 'wav flac' -- "$cur")); return ;;
  --bits) COMPREPLY=($(compgen -W '16 24 float' -- "$cur")); return ;;
  --tail) COMPREPLY=($(compgen -W 'auto' -- "$cur")); return ;;
  --only | --skip)
    COMPREPLY=($(compgen -W "$("${COMP_WORDS[0]}" validate --list 2>/dev/null | cut -d' ' -f1)" -- "$cur"))
    return ;;
  --rate | --block | --program | --set | --channel | --track | --transpose | --max-length | --gain | \
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
  render | midi) _filedir '@(mid|midi|MID|MIDI|smf|kar)' ;;
  info) _filedir '@(so|dll|vst|mid|midi|MID|MIDI)' ;;
  validate) _filedir '@(so|dll|vst)' ;;
  preset) if [[ " ${COMP_WORDS[*]} " == *" save "* ]]; then _filedir '@(fxp|fxb)'; else
      COMPREPLY=($(compgen -W 'save' -- "$cur")); fi ;;
  compare) _filedir '@(wav|flac)' ;;
  esac
} && complete -F _solvantis solvantis
