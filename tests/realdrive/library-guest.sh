# shellcheck shell=bash
# Guest half of the library tests: builds the library a set of scenarios
# expects and runs them, each in its own folder, leaving SCENARIO.out in the
# exchange folder (files, not the serial line, so that stdout is buffered as
# on the host). Prints what each part cost.
# Needs SLOTS, DRIVES, DRIVE_ORDER and CARTRIDGES (the library, as
# make_library takes it; DRIVE_ORDER may be empty), SCENARIO_NAMES,
# SCENARIOS (the folder holding the scenarios), TOOLS (a PATH prefix with
# vaklabel, vaklabel-library, vaklabel-show and tapeprobe) and TEMPLATES.
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
# shellcheck disable=SC2086
make_library ${DRIVE_ORDER:+-o "$DRIVE_ORDER"} "$SLOTS" "$DRIVES" $CARTRIDGES ||
  { echo "cannot make the library"; exit 1; }
echo "$CHANGER" >changer
echo "library ready at $(seconds "$(now)") s, made in $(seconds $(($(now) - started))) s"
export PATH=$TOOLS:$PATH
for scenario in $SCENARIO_NAMES; do
  began=$(now)
  mkdir -p "work-$scenario" && (cd "work-$scenario" && sh "$SCENARIOS/$scenario-scenario.sh") >"$scenario.out" 2>&1
  echo "$scenario: exit $?, $(seconds $(($(now) - began))) s, $(grep -c '^\$ ' "$scenario.out") commands"
done
