# shellcheck shell=sh
# What the library scenarios print for each command, sourced by them: the
# command, what it said and its exit status. POSIX sh.

step() {
  echo "\$ $*"
  "$@" 2>&1
  echo "-> $?"
}

# A vaklabel-library run with the folder's lock. Both drives work at once and
# its progress lines come in the order the tapes finish, so they come sorted
# by slot, ahead of its report.
library_run() {
  echo "\$ vaklabel-library $*"
  vaklabel-library --lock "$PWD/lock" "$@" >report 2>progress
  status=$?
  sed 's/^\[[0-9]*\//[n\//' progress | sort -t' ' -k3,3n
  cat report
  echo "-> $status"
}
