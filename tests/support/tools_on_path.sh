# Sourced by the shell tests: moves into a fresh directory, removed at exit,
# with the vaklabel, vaklabel-show and vtape under test (VAKLABEL,
# VAKLABEL_SHOW, VTAPE) first on PATH.
: "${VAKLABEL:?}" "${VAKLABEL_SHOW:?}" "${VTAPE:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$VAKLABEL" "$work/bin/vaklabel"
ln -s "$VAKLABEL_SHOW" "$work/bin/vaklabel-show"
ln -s "$VTAPE" "$work/bin/vtape"
export PATH="$work/bin:$PATH"
cd "$work"
