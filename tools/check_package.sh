#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a temporary root and runs
# the programs from the packaged paths: the command line with its packaged signature file,
# the wizard's --help, and the desktop entry, icon and help page in their places.
#   tools/check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: check_package.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/*.deb)
dpkg-deb -x "$deb" "$work/root"
root="$work/root/usr"
for f in bin/dravonel-cli bin/dravonel share/applications/dravonel.desktop \
         share/icons/hicolor/scalable/apps/dravonel.svg share/dravonel/help.html share/dravonel/FileSetting.txt; do
  [ -e "$root/$f" ] || { echo "missing in the package: /usr/$f"; exit 1; }
done
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
"$root/bin/dravonel-cli" --version
"$root/bin/dravonel" --help | head -1
# The packaged command line finds the packaged signature file (not the build folder's).
sample=$(mktemp -p "$work")
printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00' >"$sample"
truncate -s 64K "$sample"
"$root/bin/dravonel-cli" carve "$sample" >"$work/carve.txt" 2>&1 || { cat "$work/carve.txt"; exit 1; }
grep -qi "jpg" "$work/carve.txt" || { echo "the packaged signature file was not used:"; cat "$work/carve.txt"; exit 1; }
echo "package ok"
