#!/bin/sh
# vaklabel-show under valgrind on a blank image and on a file too short for
# a block header, with and without --map: an uninitialised read there
# changed no output, so only valgrind shows it. Arguments: valgrind,
# vaklabel-show, a scratch folder.
set -u
valgrind=$1
show=$2
dir=$3
: >"$dir/blank.aws"
printf 'abc' >"$dir/short.aws"

expect() {
  expected=$1
  shift
  "$valgrind" -q --error-exitcode=99 "$show" "$@" >/dev/null
  status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "vaklabel-show $*: status $status, not $expected"
    exit 1
  fi
}

expect 1 "$dir/blank.aws"
expect 2 -k image "$dir/short.aws"
expect 1 --map "$dir/blank.aws"
expect 2 --map --json -k image "$dir/short.aws"
