#!/usr/bin/env bash
# A desktop user without the udev rule: the module's device node is not theirs.
# Updater, run as an ordinary user, must say why the module is missing; run
# with access, it must not.
#   permission_test.sh TARNIX_SIM UPDATER
set -euo pipefail
sim=$1 updater=$2
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
cat > "$work/one.ini" <<'INI'
[module a]
serial = 0x1234ABCD
model = 4
transport = usb
INI
mkdir -m 777 "$work/store"
# The test bed is the simulator's (mode 0700); open it to the ordinary user as
# a machine's /sys and /dev are, then try with the node closed and open.
TMPDIR=$work timeout 60 "$sim" "$work/one.ini" -- bash -c '
  set -u
  chmod -R a+rwX "$UMOCKDEV_DIR"
  as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
  chmod 600 "$UMOCKDEV_DIR"/dev/bus/usb/001/*
  as_user "$0" -D -i "$1/store" > "$1/denied.out" 2> "$1/denied.err" || true
  chmod 666 "$UMOCKDEV_DIR"/dev/bus/usb/001/*
  as_user "$0" -D -i "$1/store" > "$1/allowed.out" 2> "$1/allowed.err" || true
' "$updater" "$work"
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.out "$work"/*.err; do echo "== $f"; cat "$f"; done >&2; exit 1; }
rule_line="Permission denied on a Tarnix USB device: install the udev rule 60-tarnix.rules (lib/udev/rules.d) or run Updater as root."
grep -q "No devices found." "$work/denied.out" || fail "the closed node should hide the module"
grep -qxF "$rule_line" "$work/denied.err" || fail "no explanation naming the rule"
grep -q "1234ABCD" "$work/allowed.out" || fail "the open node should show the module"
! grep -q "60-tarnix.rules" "$work/allowed.err" || fail "explanation without a refusal"
echo "permission_test: ok"
