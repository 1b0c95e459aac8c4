# Sourced by the shell tests: moves into a fresh directory, removed at exit,
# with the vaklabel and vtape under test (VAKLABEL, VTAPE) first on PATH.
: "${VAKLABEL:?}" "${VTAPE:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$VAKLABEL" "$work/bin/vaklabel"
ln -s "$VTAPE" "$work/bin/vtape"
export PATH="$work/bin:$PATH"
cd "$work"
