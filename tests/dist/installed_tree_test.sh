#!/usr/bin/env bash
# installed_tree_test.sh BUILD CMAKE: installs BUILD into a scratch prefix and runs the programs
# there as a user would. Prints one line per check; exits non-zero on the first failure.
set -euo pipefail
build=$1
cmake=$2
scratch=$(mktemp -d)
trap 'chmod -R u+w "$scratch" 2>/dev/null; rm -rf "$scratch"' EXIT
prefix=$scratch/usr
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" || fail "install: $(cat "$scratch/install.log")"
for f in bin/vm6142 bin/vm6142-editor bin/vm6142-radio bin/usbser2k-host bin/usbser9x-host \
  lib/vm6142/libusbser9x.so lib/vm6142/libvm_driver_core_shared.so share/man/man1/usbser9x-host.1.gz \
  lib/udev/rules.d/60-vm6142-cable.rules share/man/man1/usbser2k-host.1.gz share/vm6142/Default.dat share/vm6142/Program.ini \
  share/vm6142/help/guide.html share/man/man1/vm6142.1.gz share/man/man1/vm6142-editor.1.gz \
  share/man/man1/vm6142-radio.1.gz share/bash-completion/completions/vm6142 \
  share/applications/org.vm6142.Editor.desktop share/metainfo/org.vm6142.Editor.metainfo.xml \
  share/icons/hicolor/scalable/apps/vm6142.svg share/icons/hicolor/48x48/apps/vm6142.png \
  share/mime/packages/vm6142.xml share/doc/vm6142/copyright; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
ok "installed layout"

# A user with an empty home, nothing of the build tree in reach.
home=$scratch/home
mkdir "$home"
# The sanitizers' settings pass (a sanitizer build runs this test too).
sanitizer_env=()
for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
  [ -z "${!v:-}" ] || sanitizer_env+=("$v=${!v}")
done
run() { env -i HOME="$home" PATH="$prefix/bin:/usr/bin:/bin" QT_QPA_PLATFORM=offscreen "${sanitizer_env[@]}" "$@"; }
run vm6142 new "$home/a.dat" >"$scratch/out" 2>"$scratch/err" || fail "vm6142 new: $(cat "$scratch/err")"
[ ! -s "$scratch/err" ] || fail "vm6142 new said: $(cat "$scratch/err")"
run vm6142 info "$home/a.dat" >"$scratch/out" 2>"$scratch/err" || fail "vm6142 info: $(cat "$scratch/err")"
grep -q '150M' "$scratch/out" || fail "vm6142 info printed no bands"
cmp -s "$prefix/share/vm6142/Program.ini" "$home/.config/vm6142/Program.ini" ||
  fail "the settings were not seeded into ~/.config/vm6142"
[ -d "$home/.local/share/vm6142/DATA" ] || fail "no ~/.local/share/vm6142/DATA"
ok "vm6142 new and info; settings and DATA in the XDG folders"

# XDG variables move them.
run env XDG_CONFIG_HOME="$scratch/cfg" XDG_DATA_HOME="$scratch/data" vm6142 info "$home/a.dat" >/dev/null ||
  fail "vm6142 info with XDG variables"
[ -f "$scratch/cfg/vm6142/Program.ini" ] && [ -d "$scratch/data/vm6142/DATA" ] ||
  fail "XDG_CONFIG_HOME / XDG_DATA_HOME not followed"
ok "XDG_CONFIG_HOME and XDG_DATA_HOME"

# The editor off screen, opening the file as a double-click would; its picture is the
# package's screenshot.
shots=$build/dist/screenshots
mkdir -p "$shots"
run vm6142-editor --screenshot "$shots/main-window.png" "$home/a.dat" 2>"$scratch/err" ||
  fail "the editor: $(cat "$scratch/err")"
[ -s "$shots/main-window.png" ] || fail "no window picture"
ok "editor window picture in $shots/main-window.png"

# usbser9x-host loads the installed driver (then finds no cable at a made-up address).
code=0
run usbser9x-host --device 250:127 --run-dir "$scratch/run9x" >"$scratch/out" 2>"$scratch/err" || code=$?
! grep -q "cannot load the driver\|has no .*: not usbser9x" "$scratch/err" ||
  fail "usbser9x-host does not load its driver: $(cat "$scratch/err")"
{ [ "$code" = 1 ] && grep -q -e "no cable" -e "libusb" "$scratch/err"; } ||
  fail "usbser9x-host with no cable (exit $code): $(cat "$scratch/err")"
ok "usbser9x-host loads the installed driver"

# The port chosen is saved in the user's settings, not beside the program.
[ -z "$(ls "$prefix/bin" | grep -v -x -e vm6142 -e vm6142-editor -e vm6142-radio -e usbser2k-host -e usbser9x-host)" ] ||
  fail "files made beside the programs: $(ls "$prefix/bin")"
ok "nothing written beside the installed programs"

# A home where nothing can be made: a clear message naming the folder, and the tool still works.
run env HOME=/dev/null/nohome vm6142 info "$home/a.dat" >"$scratch/out" 2>"$scratch/err" ||
  fail "vm6142 info with an unusable home: $(cat "$scratch/err")"
grep -q 'vm6142: warning: "/dev/null/nohome/.config/vm6142": cannot create the settings folder (' "$scratch/err" ||
  fail "no message naming the settings folder: $(cat "$scratch/err")"
grep -q '150M' "$scratch/out" || fail "vm6142 info printed no bands with an unusable home"
ok "unusable home: named, read-only use goes on"
