#!/usr/bin/env bash
# Sources each command's bash completion and checks what it offers for the
# command lines in CASES: "words typed|completions offered", the last word
# typed being the one completed (empty after a trailing blank). $TEMPLATE_DIR
# in a case is the source tree's template directory. Offered "=help COMMAND
# [ARG...]" is every option that COMMAND [ARG...] --help names, "=section
# TITLE" every option vtape --help lists under "Options of TITLE:"; a word
# +WORD after either is offered too.
# Usage: completion_test.sh COMPLETIONS_DIR CASES (VAKLABEL, VAKLABEL_LIBRARY,
# VAKLABEL_SHOW, VTAPE, TEMPLATE_DIR set).
set -euo pipefail
completions=$1
cases=$2
: "${TEMPLATE_DIR:?}"

# shellcheck source=../support/tools_on_path.sh
source "$(dirname "$0")/../support/tools_on_path.sh"
touch tape.aws
mkdir -p lib

# Every option word of a help text: -x or --xyz after a blank, bracket,
# comma or the line start.
help_options() {
  "$@" --help | grep -oE '(^|[][ ,|])--?[a-zA-Z][-a-zA-Z]*' | sed 's/^[][ ,|]//'
}

section_options() {
  vtape --help | awk -v header="Options of $*:" '$0 == header { on = 1; next } /^$/ { on = 0 } on && /^  --/ { print $1 }'
}

# The words CASES expects: a list, or one taken from a help text.
expected_words() {
  local words source=() extra=() word
  read -r -a words <<<"$1"
  for word in "${words[@]}"; do
    if [[ $word == +* ]]; then extra+=("${word#+}"); else source+=("$word"); fi
  done
  case ${source[0]-} in
    =help) { help_options "${source[@]:1}"; printf '%s\n' "${extra[@]}"; } ;;
    =section) { section_options "${source[@]:1}"; printf '%s\n' "${extra[@]}"; } ;;
    *) printf '%s\n' "${source[@]}" ;;
  esac | sed '/^$/d' | sort -u | xargs
}

for file in "$completions"/*; do
  # shellcheck source=/dev/null
  source "$file"
done

failed=0
while IFS='|' read -r typed expected; do
  [[ -z $typed || $typed == \#* ]] && continue
  typed=${typed//\$TEMPLATE_DIR/$TEMPLATE_DIR}
  expected=$(expected_words "$expected")
  read -r -a COMP_WORDS <<<"$typed"
  [[ $typed == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" || true
  # A command in several PATH directories comes once for each; bash shows it
  # once. An option must come once: a list that offers one twice is wrong.
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort -u | xargs)
  twice=$(printf '%s\n' "${COMPREPLY[@]}" | awk '/^-/ && seen[$0]++ == 1' | xargs)
  if [[ $got != "$expected" || -n $twice ]]; then
    echo "'$typed': expected '$expected', got '$got'${twice:+, twice: $twice}"
    failed=$((failed + 1))
  fi
done <"$cases"
[ "$failed" -eq 0 ]
