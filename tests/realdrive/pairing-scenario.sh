# shellcheck shell=sh
# The pairing scenario: a library whose drive 0 is the host's /dev/nst1 and
# drive 1 its /dev/nst0, on a real kernel with tgt's changer (library.sh,
# in the guest) and on the virtual library made the same way.
# vaklabel-library must find each drive's device by its unit serial number
# (the changer's READ ELEMENT STATUS with DVCID, the device's VPD page 80h),
# show the pairing and its proof in a dry run, label each cartridge in the
# drive it was loaded into, and refuse --drives given in the host's order
# before anything moves.
# Expects 4 slots holding blank tapes PAR001L8 to PAR003L8 in slots 1 to 3,
# slot 4 empty, and both drives empty; mtx finds the changer in CHANGER.
# POSIX sh.

# shellcheck source=library-steps.sh
. "$(dirname "$0")/library-steps.sh"

cp "$TEMPLATES/standard.lbl" . || exit 1

echo "== each device's unit serial number"
step sg_inq -p 0x80 /dev/nst0
step sg_inq -p 0x80 /dev/nst1

echo "== the plan without --drives: each drive's device and how it was proven"
library_run --dry-run label --template standard.lbl 1-3

echo "== labelling without --drives"
library_run label --template standard.lbl 1-3

echo "== each tape holds its own barcode's label: drive 0 is /dev/nst1"
for slot in 1 2 3; do
  step mtx load $slot 0
  step mt -f /dev/nst0 status
  step vaklabel -q -f /dev/nst1
  step mtx unload $slot 0
done

echo "== --drives in the host's order is refused before anything moves"
library_run --drives /dev/nst0,/dev/nst1 --dry-run label --template standard.lbl 1-3
library_run --drives /dev/nst0,/dev/nst1 label --template standard.lbl --relabel 1-3
step mtx status
