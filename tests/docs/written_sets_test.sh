#!/usr/bin/env bash
# Every label set vaklabel writes passes the project's own checker:
# vaklabel-show exits with 0 for it, read through the drive and from the
# image. Written from each shipped template with a six- and an
# eight-character label, and relabelled from one form to the other, as the
# demo does, which keeps the other fields of the set read.
# Usage: written_sets_test.sh (VAKLABEL, VAKLABEL_LIBRARY, VAKLABEL_SHOW,
# VTAPE and TEMPLATE_DIR set).
set -euo pipefail
: "${TEMPLATE_DIR:?}"

# shellcheck source=../support/tools_on_path.sh
source "$(dirname "$0")/../support/tools_on_path.sh"

# One row a case: the label the tape carries first (written from the
# standard template), or "blank"; then vaklabel's write options.
rows() {
  local template
  for template in "$TEMPLATE_DIR"/*.lbl; do
    echo "blank|-c $TEMPLATE_DIR -t ${template##*/} -w XYZ789"
    echo "blank|-c $TEMPLATE_DIR -t ${template##*/} -w TAPE0001"
  done
  echo "XYZ789|-b -p labels -w ABCD1234"
  echo "TAPE0001|-w ABC123"
}

failed=0
while IFS='|' read -r before write; do
  rm -f tape.aws
  vtape create tape.aws
  if [[ $before != blank ]]; then
    vtape run tape.aws -- vaklabel -q -c "$TEMPLATE_DIR" -t standard.lbl -f /dev/nst0 -w "$before" 2>/dev/null
  fi
  read -r -a options <<<"$write"
  status=0; written=$(vtape run tape.aws -- vaklabel -q "${options[@]}" -f /dev/nst0 2>&1) || status=$?
  shown=0; report=$(vtape run tape.aws -- vaklabel-show /dev/nst0 tape.aws 2>&1) || shown=$?
  if [[ $status -ne 0 || $shown -ne 0 ]]; then
    echo "--- $before, then vaklabel $write: vaklabel exit $status, vaklabel-show exit $shown"
    echo "$written"
    echo "$report"
    failed=$((failed + 1))
  fi
done < <(rows)
[ "$failed" -eq 0 ]
