# bash completion for kestravel
_kestravel() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  local sub=""
  local w
  for w in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case $w in replay|view) sub=$w ;; esac
  done
  case $prev in
    --config|--events) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --project) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --mode) COMPREPLY=($(compgen -W "fast reasoning" -- "$cur")); return ;;
    --endpoint) COMPREPLY=($(compgen -W "builtin http://127.0.0.1:8080/v1 http://127.0.0.1:11434/v1" -- "$cur")); return ;;
    --size|--model) return ;;
  esac
  case $sub in
    replay) COMPREPLY=($(compgen -W "--events --fast --dump-demo --help" -- "$cur")) ;;
    view) COMPREPLY=($(compgen -W "--size --ansi --state --help" -- "$cur")) ;;
    *) COMPREPLY=($(compgen -W "--plain --config --endpoint --mode --model --project --version --help replay view" -- "$cur")) ;;
  esac
  if [[ -n $sub && $cur != -* ]]; then
    COMPREPLY+=($(compgen -f -- "$cur"))
  fi
}
complete -F _kestravel kestravel
