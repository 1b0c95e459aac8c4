# Sourced by the shell tests: moves into a fresh directory, removed at exit,
# with the commands under test (VAKLABEL, VAKLABEL_LIBRARY, VAKLABEL_SHOW,
# VTAPE) first on PATH, so that an installed copy is never the one run.
: "${VAKLABEL:?}" "${VAKLABEL_LIBRARY:?}" "${VAKLABEL_SHOW:?}" "${VTAPE:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$VAKLABEL" "$work/bin/vaklabel"
ln -s "$VAKLABEL_LIBRARY" "$work/bin/vaklabel-library"
ln -s "$VAKLABEL_SHOW" "$work/bin/vaklabel-show"
ln -s "$VTAPE" "$work/bin/vtape"
export PATH="$work/bin:$PATH"
cd "$work"
