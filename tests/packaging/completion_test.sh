#!/usr/bin/env bash
# Shell completion comes from the table the parser uses: every option --help lists is completed
# and every option completed is accepted; bash (and fish where installed) complete partial
# words from the script talvex-cli writes.
#   completion_test.sh TALVEX_CLI
set -uo pipefail
cli=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cli" completion bash >"$work/talvex-cli.bash" || fail "completion bash"
"$cli" completion zsh >"$work/_talvex-cli" || fail "completion zsh"
"$cli" completion fish >"$work/talvex-cli.fish" || fail "completion fish"
"$cli" completion tcsh >/dev/null 2>&1; [ $? -eq 2 ] || fail "an unknown shell is not a usage error"

# --help and the completion name the same options.
help=$({ "$cli" --help | grep -o -- '--[a-z][a-z-]*'; echo --help; } | sort -u)
completed=$(grep -o -- "--[a-z][a-z-]*" "$work/talvex-cli.bash" | sort -u)
diff <(echo "$help") <(echo "$completed") >"$work/diff" || fail "--help and completion differ:"$'\n'"$(cat "$work/diff")"

# Every option the table gives an account command is taken by the parser (a value of its kind).
value_of() {
  case $1 in
    --web-host) echo 127.0.0.1:1 ;; --encoding) echo CP949 ;; --work-dir|--move-to) echo "$work" ;;
    --user|--password|--in) echo x ;; --poll-ms) echo 100 ;; *) echo 1 ;;
  esac
}
valued=$(grep -m1 -o -- '--web-host|[^)]*' "$work/talvex-cli.bash" | tr '|' ' ')
for option in $(grep -o "put) COMPREPLY=(\$(compgen -W '[^']*" "$work/talvex-cli.bash" | sed "s/.*-W '//"); do
  [ "$option" = --help ] && continue
  args=("$option")
  [[ " $valued " == *" $option "* ]] && args+=("$(value_of "$option")")
  command=put
  [ "$option" = --in ] && command=search
  out=$("$cli" "$command" "${args[@]}" --help 2>&1) || fail "the parser refuses $option: $out"
done

# bash: partial words.
complete_bash() { # words...; prints the candidates
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _talvex_cli; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$work/talvex-cli.bash" "$@"
}
[ "$(complete_bash talvex-cli put --dr)" = --dry-run ] || fail "bash: put --dr"
[ "$(complete_bash talvex-cli --user demo pu)" = put ] || fail "bash: a command after an option and its value"
[ "$(complete_bash talvex-cli ls --encoding EU)" = EUC-KR ] || fail "bash: an encoding"
[ -z "$(complete_bash talvex-cli ls --dr)" ] || fail "bash: ls has no --dry-run"
mkdir -p "$work/tree/folder-a"
[ "$(cd "$work/tree" && complete_bash talvex-cli put fol)" = folder-a ] || fail "bash: a local path"
[ "$(complete_bash talvex-cli completion f)" = fish ] || fail "bash: completion's shells"

if command -v fish >/dev/null; then
  got=$(fish -c "source $work/talvex-cli.fish; complete -C'talvex-cli put --dr'" | cut -f1)
  [ "$got" = --dry-run ] || fail "fish: put --dr gave '$got'"
else
  echo "skipped: fish is not installed"
fi
if command -v zsh >/dev/null; then
  zsh -c "autoload -U compinit && compinit -u; source $work/_talvex-cli" || fail "zsh: the script does not load"
else
  echo "skipped: zsh is not installed"
fi

[ $failures -eq 0 ] && echo "completion: all checks passed"
exit $((failures > 0))
