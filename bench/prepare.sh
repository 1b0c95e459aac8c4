# shellcheck shell=bash
# Sourced by the benchmark scripts: what they need before they measure.

# Installs the packages named that are missing. Only the benchmarks need
# them, so they are installed here and not by scripts/setup.sh.
bench_packages() {
  local missing=() p sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Builds vaklabel, vtape and the drive in Release into $2 (tests off; no
# -Werror: g++ 12 warns falsely at -O2 where the CI builds do not), and
# the helpers in bench/ into $2/bench-helpers; $1 is the source tree.
bench_build() {
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DVAKLABEL_WERROR=OFF -DVAKLABEL_TESTS=OFF >/dev/null
  cmake --build "$2" -j2 --target vaklabel vtape vtape_preload >/dev/null
  cmake -S "$1/bench" -B "$2/bench-helpers" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$2/bench-helpers" -j2 >/dev/null
}

# Faults left in the environment would change what the drive does.
bench_clear_faults() {
  local var
  while read -r var; do unset "$var"; done < <(compgen -e | grep '^VTAPE_' || true)
}
