#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a throw-away root and uses what is
# in it: the programs, the man pages, the udev rule, and the device library
# through tarnix.pc. Also installs with `cmake --install` into a prefix.
#   install_test.sh BUILD_DIR TEST_SOURCE_DIR
set -euo pipefail
build=$1 here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected=(
  usr/bin/Updater usr/bin/tarnix-fleet usr/bin/birdtool usr/bin/tarnix-sim usr/bin/update-server
  usr/bin/tarnix-share
  usr/lib/udev/rules.d/60-tarnix.rules
  usr/share/man/man1/Updater.1 usr/share/man/man1/tarnix-fleet.1 usr/share/man/man1/birdtool.1 usr/share/man/man1/tarnix-sim.1
  usr/share/bash-completion/completions/Updater
  usr/include/tarnix/aLink.h usr/include/tarnix/aError.h
)

# --- the Debian package ---
(cd "$build" && cpack -G DEB -B "$work/pkg" > "$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack -G DEB"; }
deb=$(ls "$work"/pkg/*.deb)
root=$work/root
dpkg-deb -x "$deb" "$root"
pcfile=$(find "$root" -name tarnix.pc | head -n 1)
[ -n "$pcfile" ] || fail "no tarnix.pc in the package"
for layer in base os link discovery server; do
  [ -n "$(find "$root" -name libtarnix_$layer.a)" ] || fail "no libtarnix_$layer.a in the package"
done
# Only the public API: no internal header of any layer.
for h in aLinkPrivate.h aDiscoveryPrivate.h aDiscoveryPlatform.h aUSBPrivate.h aServerRouter.h aActorPrivate.h; do
  [ -z "$(find "$root" -name "$h")" ] || fail "internal header in the package: $h"
done
for f in "${expected[@]}"; do
  [ -e "$root/$f" ] || fail "missing from the package: $f"
done

# Every shared library a packaged program needs comes from a package the
# .deb depends on.
depends=$(dpkg-deb -f "$deb" Depends)
depends_names=$(tr ',' '\n' <<< "$depends" | awk '{print $1}')
for exe in "$root"/usr/bin/*; do
  for soname in $(objdump -p "$exe" | awk '/NEEDED/ {print $2}'); do
    path=$(ldconfig -p | awk -v s="$soname" '!found && $1 == s && /x86-64|x86_64/ {print $NF; found = 1}')
    [ -n "$path" ] || continue
    pkg=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -n 1 | cut -d: -f1) || true
    [ -n "$pkg" ] || pkg=$(dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1) || true
    [ -n "$pkg" ] || continue
    grep -q -x -F "$pkg" <<< "$depends_names" ||
      fail "$(basename "$exe") needs $soname from $pkg, which Depends lacks: $depends"
  done
done

# The unpacked program runs.
out=$("$root/usr/bin/Updater" -h 2>&1) || fail "Updater -h exited $?"
grep -q "Application Usage:" <<< "$out" || fail "Updater -h printed no usage"

# Man pages format without warnings.
for page in "$root"/usr/share/man/man1/*.1; do
  warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "groff warns on $(basename "$page"): $warnings"
  MANWIDTH=80 man -l "$page" > /dev/null 2> "$work/man.err" || fail "man -l $(basename "$page")"
  [ ! -s "$work/man.err" ] || fail "man -l $(basename "$page"): $(cat "$work/man.err")"
done
grep -q -- "-OVERRIDE" "$root/usr/share/man/man1/Updater.1" || fail "Updater.1 lacks -OVERRIDE"

# The udev rule.
rule=$root/usr/lib/udev/rules.d/60-tarnix.rules
if command -v udevadm > /dev/null && udevadm verify --help > /dev/null 2>&1; then
  udevadm verify "$rule" || fail "udevadm verify"
else
  /usr/bin/python3 "$here/check_udev_rules.py" "$rule" || fail "udev rule syntax"
fi
grep -q 'ATTR{idVendor}=="24ff".*TAG+="uaccess"' "$rule" || fail "rule for Tarnix modules"
grep -q 'ATTRS\?{idVendor}=="1fc9".*ATTRS\?{idProduct}=="0130".*TAG+="uaccess"' "$rule" ||
  fail "rule for the i.MX boot ROM"

bash -n "$root/usr/share/bash-completion/completions/Updater" || fail "completion syntax"

# A program built against the packaged headers and tarnix.pc.
build_user() { # $1: pkg-config directory
  local flags
  flags=$(PKG_CONFIG_PATH=$1 pkg-config --cflags --libs tarnix) || fail "pkg-config tarnix"
  # shellcheck disable=SC2086
  g++ -std=c++17 -o "$work/use_library" "$here/use_library.cpp" $flags || fail "building against $1"
  [ "$("$work/use_library")" = "aErrNotFound" ] || fail "the program built against $1 misbehaves"
}
build_user "$(dirname "$pcfile")"

# --- cmake --install into a prefix ---
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install"; }
for f in bin/Updater bin/birdtool bin/tarnix-sim bin/update-server lib/udev/rules.d/60-tarnix.rules \
         share/man/man1/Updater.1 share/bash-completion/completions/Updater include/tarnix/aLink.h; do
  [ -e "$work/prefix/$f" ] || fail "cmake --install did not install $f"
done
build_user "$(dirname "$(find "$work/prefix" -name tarnix.pc | head -n 1)")"
echo "install_package: ok"
