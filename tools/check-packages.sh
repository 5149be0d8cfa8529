#!/usr/bin/env bash
# Checks what users install: the install tree of the release build, and the Debian package and
# the Windows .zip and installer (.msi) made from the release and mingw builds, as a user gets
# them: the files they hold, the browser page as the web build made it, and their program, run
# from an unpacked copy, listing its converters and converting a preset to the same bytes as
# the tested build. (The installer installed, used and removed: the mingw build's test
# "installer".)
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check-packages: $*" >&2
  exit 1
}

# The browser page, as the web preset made and tested it.
page=build/web/tunewright.html
[ -f "$page" ] || fail "no $page: run 'cmake --workflow --preset web' first"

# The reference conversion, by the build the tests ran against.
mkdir "$work/reference"
cp "examples/tavlora/Warm Pad.fxp" "$work/reference/pad.fxp"
(cd "$work/reference" && "$OLDPWD/build/release/tunewright" pad.fxp)
expected_list=$(build/release/tunewright -l)
[ "$(wc -l <<<"$expected_list")" -eq 4 ] || fail "unexpected converter list: $expected_list"

# Runs an unpacked program (through an optional runner such as wine) and compares it with the
# tested build.
check_program() {
  local name=$1
  shift
  local list
  list=$("$@" -l | tr -d '\r')
  [ "$list" = "$expected_list" ] || fail "$name: converter list differs: $list"
  mkdir "$work/$name-run"
  cp "examples/tavlora/Warm Pad.fxp" "$work/$name-run/pad.fxp"
  (cd "$work/$name-run" && "$@" pad.fxp) || fail "$name: conversion failed"
  cmp "$work/$name-run/205_pad.fxp" "$work/reference/205_pad.fxp" ||
    fail "$name: converted preset differs"
  echo "$name: converter list and conversion as the tested build"
}

echo "== Install tree"
cmake --install build/release --prefix "$work/install" >/dev/null
installed=$(cd "$work/install" && find . -type f | sort)
expected_files=$'./bin/tunewright\n./share/doc/tunewright/LICENSE\n./share/doc/tunewright/README.md\n./share/man/man1/tunewright.1.gz\n./share/tunewright/tunewright.html'
[ "$installed" = "$expected_files" ] || fail "install tree holds: $installed"
check_program install "$work/install/bin/tunewright"
cmp "$work/install/share/tunewright/tunewright.html" "$page" || fail "the installed page differs"

echo "== Debian package"
(cd build/release && cpack -G DEB) >/dev/null
deb=$(ls build/release/tunewright_*_amd64.deb)
dpkg-deb --info "$deb"
for field in Package:tunewright Section:sound Architecture:amd64; do
  value=$(dpkg-deb --field "$deb" "${field%%:*}")
  [ "$value" = "${field#*:}" ] || fail "${field%%:*} is '$value'"
done
contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in ./usr/bin/tunewright ./usr/share/man/man1/tunewright.1.gz \
  ./usr/share/tunewright/tunewright.html \
  ./usr/share/doc/tunewright/README.md ./usr/share/doc/tunewright/LICENSE; do
  grep -qxF "$path" <<<"$contents" || fail "$deb lacks $path"
done
dpkg -x "$deb" "$work/deb"
zcat "$work/deb/usr/share/man/man1/tunewright.1.gz" | cmp - doc/tunewright.1 ||
  fail "the packaged man page differs from doc/tunewright.1"
check_program deb "$work/deb/usr/bin/tunewright"
cmp "$work/deb/usr/share/tunewright/tunewright.html" "$page" || fail "the packaged page differs"

echo "== Windows .zip"
(cd build/mingw && cpack -G ZIP) >/dev/null
zip=$(ls build/mingw/tunewright-*-Windows.zip)
unzip -q "$zip" -d "$work/zip"
exe=$(ls "$work"/zip/tunewright-*-Windows/bin/tunewright.exe)
cmp "$(dirname "$exe")/tunewright.html" "$page" || fail "the page beside tunewright.exe differs"
# Only DLLs that every Windows has: nothing to ship beside the program.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
for dll in $dlls; do
  case $dll in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | shell32.dll | ntdll.dll) ;;
    *) fail "tunewright.exe needs $dll" ;;
  esac
done
echo "tunewright.exe imports only: $(tr '\n' ' ' <<<"$dlls")"
export WINEDEBUG=-all
check_program zip wine "$exe"

echo "== Windows installer (.msi)"
(cd build/mingw && cpack -G External) >/dev/null
msi=$(ls build/mingw/tunewright-*-x64.msi)
msiinfo suminfo "$msi" | grep -qx "Template: x64;1033" || fail "$msi is not for x64, English"
msiextract -C "$work/msi" "$msi" >/dev/null
# One folder, as the installer makes it under Program Files.
packaged=$(cd "$work/msi" && find . -type f | sort)
expected_files=$'./tunewright/LICENSE.txt\n./tunewright/README.txt\n./tunewright/tunewright.exe'
expected_files+=$'\n./tunewright/tunewright.html'
[ "$packaged" = "$expected_files" ] || fail "$msi holds: $packaged"
cmp "$work/msi/tunewright/tunewright.html" "$page" || fail "the installer's page differs"
cmp "$work/msi/tunewright/README.txt" README.md || fail "the installer's README differs"
cmp "$work/msi/tunewright/LICENSE.txt" LICENSE || fail "the installer's licence differs"
# The .zip's program, but for the time stamp that stripping each staged copy writes into its
# header, and the header's checksum, which covers the time stamp.
python3 - "$work/msi/tunewright/tunewright.exe" "$exe" <<'EOF' ||
import struct
import sys
images = []
for path in sys.argv[1:]:
    image = bytearray(open(path, "rb").read())
    header = struct.unpack_from("<I", image, 0x3C)[0]
    for field in (header + 8, header + 24 + 64):  # TimeDateStamp, CheckSum
        image[field:field + 4] = bytes(4)
    images.append(image)
sys.exit(images[0] != images[1])
EOF
  fail "the installer's program is not the .zip's"
check_program msi wine "$work/msi/tunewright/tunewright.exe"
