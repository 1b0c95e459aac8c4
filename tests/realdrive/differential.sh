#!/usr/bin/env bash
# The differential test: runs every scenario of realdrive_differential on the
# kernel's st driver in one boot of the guest, then the same scenarios under
# the virtual drive, and reports each difference by scenario and field:
#   differential.sh CACHE
# REALDRIVE_DIFFERENTIAL, VAKLABEL, TAPEPROBE, VTAPE and TEMPLATES name the
# programs and the template directory. Exits 77 when the guest cannot be
# prepared.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=$1
bash "$here/prepare.sh" "$cache"

xchg=$(mktemp -d)
trap 'rm -rf "$xchg"' EXIT
"$REALDRIVE_DIFFERENTIAL" --generate "$xchg"
started=$SECONDS
status=0
said=$(bash "$here/run.sh" -t 1200 -e VAKLABEL="$VAKLABEL" -e TAPEPROBE="$TAPEPROBE" \
  "$cache" "$here/differential-guest.sh" "$xchg") || status=$?
echo "the guest ran $(wc -l <"$xchg/scenarios") scenarios in $((SECONDS - started)) s"
if [ "$status" -ne 0 ]; then
  echo "the guest script exited with $status; it printed:"
  echo "$said"
  exit 1
fi
REALDRIVE_RESULTS=$xchg "$REALDRIVE_DIFFERENTIAL"
