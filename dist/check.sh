#!/usr/bin/env bash
# Checks what a Linux desktop gets from a build: the .deb that cpack makes passes lintian, the
# desktop entry passes desktop-file-validate, and once installed into a scratch prefix it is the
# default application for application/vnd.ms-tnef, and its Exec line, given a file as a file
# manager gives it, extracts next to that file.
#
#   dist/check.sh [BUILD-DIR]   (default: build; Debian: desktop-file-utils xdg-utils lintian)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== desktop-file-validate dist/kestrox.desktop"
desktop-file-validate dist/kestrox.desktop

echo "== cpack and lintian"
(cd "$build" && cpack -G DEB >/dev/null 2>&1)
deb=$(ls "$build"/kestrox_*_*.deb)
echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print "  " $6}'
lintian --fail-on error --display-info "$deb" 2>&1 | grep -v 'with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian found errors" >&2; exit 1; }

echo "== installed into a scratch prefix, seen by xdg-mime with scratch XDG directories"
cmake --install "$build" --prefix "$scratch/usr" >/dev/null
# What the desktop-file-utils trigger does when the package is installed.
update-desktop-database "$scratch/usr/share/applications"
mkdir -p "$scratch/home" "$scratch/data" "$scratch/config"
# No desktop environment is named: xdg-mime then reads the XDG directories itself, as a
# headless machine allows.
xdg() {
  env -i PATH="$scratch/usr/bin:/usr/bin:/bin" HOME="$scratch/home" \
    XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
    XDG_DATA_DIRS="$scratch/usr/share" XDG_CONFIG_DIRS="$scratch/config" "$@"
}
default=$(xdg xdg-mime query default application/vnd.ms-tnef)
echo "xdg-mime query default application/vnd.ms-tnef: $default"
[ "$default" = kestrox.desktop ] || { echo "kestrox is not the default" >&2; exit 1; }

echo "== the Exec line with a file, as a file manager runs it"
mkdir -p "$scratch/mail"
cp samples/winmail.dat "$scratch/mail/winmail.dat"
exec_line=$(sed -n 's/^Exec=//p' dist/kestrox.desktop)
command=${exec_line//%f/$scratch/mail/winmail.dat}
echo "$command" | sed "s|$scratch|<scratch>|g"
# A key comes from standard input here; the terminal window that Terminal=true opens gives one.
out=$(echo k | xdg $command) || true
printf '%s\n' "$out" | tail -n 4 | sed "s|$scratch|<scratch>|g"
[ "${out%Press a key to continue...}" != "$out" ] || { echo "no closing prompt" >&2; exit 1; }
ls "$scratch/mail" | sed 's/^/  /'
[ -f "$scratch/mail/notes.txt" ] || { echo "nothing extracted beside the file" >&2; exit 1; }
