# shellcheck shell=bash
# Guest half of the library test: builds the library both scenarios expect
# and runs them, each in its own folder, leaving SCENARIO.out in the exchange
# folder (files, not the serial line, so that stdout is buffered as on the
# host). Prints what each part cost.
# Needs SCENARIOS (the folder holding the scenarios) and TOOLS (a PATH
# prefix with vaklabel and tapeprobe) and TEMPLATES.
set -u
# Seconds since boot, in hundredths.
now() {
  local up
  read -r up _ </proc/uptime
  echo "${up/./}"
}
seconds() {
  printf '%d.%02d' $(($1 / 100)) $(($1 % 100))
}

started=$(now)
make_library 10 2 LIB001L8 LIB002L8 LIB003L8 LIB004L8 FR0005L8 FR0006L8 FR0007L8 FR0008L8 ||
  { echo "cannot make the library"; exit 1; }
echo "$CHANGER" >changer
echo "library ready at $(seconds "$(now)") s, made in $(seconds $(($(now) - started))) s"
export PATH=$TOOLS:$PATH
for scenario in library first-read; do
  began=$(now)
  mkdir -p "work-$scenario" && (cd "work-$scenario" && sh "$SCENARIOS/$scenario-scenario.sh") >"$scenario.out" 2>&1
  echo "$scenario: exit $?, $(seconds $(($(now) - began))) s, $(grep -c '^\$ ' "$scenario.out") commands"
done
