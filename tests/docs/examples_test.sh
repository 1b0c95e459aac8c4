#!/usr/bin/env bash
# Runs every example of a document so that none can rot: the .EX/.EE blocks
# of a manual page, or the ```sh blocks of a Markdown file. Examples run in
# order, in one fresh directory, with vaklabel, vaklabel-show and vtape on
# PATH. An example that does not itself use vtape runs under the virtual
# drive, loaded with a tape labelled XYZ789, the label the examples start from.
# Usage: examples_test.sh DOCUMENT (VAKLABEL, VAKLABEL_LIBRARY, VAKLABEL_SHOW, VTAPE
# and TEMPLATE_DIR set).
set -euo pipefail
doc=$1
: "${TEMPLATE_DIR:?}"

# shellcheck source=../support/tools_on_path.sh
source "$(dirname "$0")/../support/tools_on_path.sh"

# The README's examples run from the project's root, where the templates are.
ln -s "$TEMPLATE_DIR" templates
vtape create nst0.aws
vtape run nst0.aws -- vaklabel -q -c "$TEMPLATE_DIR" -t standard.lbl -f /dev/nst0 -w XYZ789 2>/dev/null

# Prints the examples separated by NUL bytes, with roff escapes undone and
# a manual page's installed template directory replaced by the source tree's.
extract() {
  case $doc in
    *.md) awk '/^```sh$/ {on=1; next} /^```/ {if (on) printf "%c", 0; on=0; next} on {print}' "$doc" ;;
    *) awk '/^\.EX$/ {on=1; next} /^\.EE$/ {printf "%c", 0; on=0; next} on {print}' "$doc" |
         sed -e 's/\\-/-/g' -e 's/\\(aq/'"'"'/g' -e 's/\\e/\\/g' ;;
  esac | sed -e "s|@DATADIR@|$TEMPLATE_DIR|g"
}

count=0
failed=0
while IFS= read -r -d '' example; do
  count=$((count + 1))
  echo "--- example $count:"
  echo "$example"
  if grep -qE '(^|[[:space:];|&(])vtape[[:space:]]' <<<"$example"; then
    status=0; sh -e -c "$example" || status=$?
  else
    status=0; vtape run nst0.aws -- sh -e -c "$example" || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    echo "--- example $count failed with status $status"
    failed=$((failed + 1))
  fi
done < <(extract)

if [ "$count" -eq 0 ]; then
  echo "no examples found in $doc"
  exit 1
fi
echo "$((count - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
