#!/usr/bin/env bash
# Builds the Debian package from a built tree, unpacks it and checks what a
# user would get: the control fields, every file in its place, a valid
# desktop entry with its icons, the udev rules, the manual pages, and that
# each program starts from the unpacked tree.
#
#   package_test.sh CPACK BUILD_DIR SOURCE_DIR SCRATCH_DIR VERSION GUI(ON|OFF)
set -uo pipefail

cpack=$1
build=$2
source=$3
scratch=$4
version=$5
gui=$6

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$scratch"
mkdir -p "$scratch"

# cpack in a folder of its own, so a test run leaves the build tree as it was.
# gzip instead of the package's xz: the contents are what is checked, and xz
# takes a minute over a sanitizer build's programs.
if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$scratch/out" \
    -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack did not make the package" >&2
    exit 1
fi
shopt -s nullglob
debs=("$scratch"/out/sovra-firmware-update_"$version"_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
    ls -l "$scratch/out" >&2
    echo "FAIL: expected one sovra-firmware-update_${version}_<arch>.deb" >&2
    exit 1
fi
deb=${debs[0]}
root=$scratch/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x $deb" >&2; exit 1; }

# --- control fields
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = sovra-firmware-update ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
# The package names in a relation field, one a line, without versions.
names() { field "$1" | tr ',|' '\n\n' | awk 'NF { print $1 }'; }
wanted_depends=(libc6 libstdc++6 libusb-1.0-0 libudev1 libsystemd0 libumockdev0)
[ "$gui" = ON ] && wanted_depends+=(libqt6widgets6)
for dep in "${wanted_depends[@]}"; do
    names Depends | grep -qxF "$dep" || fail "Depends lacks $dep: $(field Depends)"
done
names Recommends | grep -qxF umockdev || fail "Recommends lacks umockdev: $(field Recommends)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -gt 1 ] || fail "no long Description"
[ -z "$(field Description | awk 'length > 80')" ] || fail "Description has lines over 80 columns"

# The maintainer script only ever applies rules, and must parse.
postinst=$scratch/control/postinst
dpkg-deb -e "$deb" "$scratch/control"
if [ -x "$postinst" ]; then
    sh -n "$postinst" || fail "postinst does not parse"
    grep -q 'attr-match=idVendor=0abc' "$postinst" || fail "postinst triggers no rule of ours"
else
    fail "no executable postinst"
fi

# --- files: everything under /usr, each where the system looks for it
while read -r path; do
    case $path in
        ./ | ./usr/*) ;;
        *) fail "file outside /usr: $path" ;;
    esac
done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)

programs=(sovra-flash sovra-beamformer-sim)
[ "$gui" = ON ] && programs+=(sovra-firmware-update)
for p in "${programs[@]}"; do
    [ -x "$root/usr/bin/$p" ] || fail "no program usr/bin/$p"
done

rules=$root/usr/lib/udev/rules.d/70-sovra-beamformer.rules
if [ -f "$rules" ]; then
    cmp -s "$rules" "$source/packaging/70-sovra-beamformer.rules" ||
        fail "installed udev rules differ from packaging/70-sovra-beamformer.rules"
    grep -q '^SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="0abc", ATTR{idProduct}=="0010", TAG+="uaccess"' "$rules" ||
        fail "udev rules lack the sample's first device"
else
    fail "no udev rules in usr/lib/udev/rules.d"
fi

[ -f "$root/usr/share/doc/sovra-firmware-update/examples/FirmwareUpdate.xml" ] ||
    fail "no sample catalogue"

# --- manual pages: one per program, readable, each sovra-flash subcommand in it
export LC_ALL=C.UTF-8 MANWIDTH=80
for p in "${programs[@]}"; do
    page=$root/usr/share/man/man1/$p.1.gz
    if [ ! -f "$page" ]; then
        fail "no manual page $p.1.gz"
        continue
    fi
    gzip -t "$page" || fail "$p.1.gz is not gzip"
    zcat "$page" | grep -q "^\.TH .*$version" || fail "$p.1 does not carry version $version"
    if command -v man >/dev/null; then
        warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$p.1 has troff warnings: $warnings"
    fi
done

flash=$root/usr/bin/sovra-flash
subcommands=$("$flash" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }')
[ -n "$subcommands" ] || fail "sovra-flash --help lists no subcommands"
for sub in $subcommands; do
    zcat "$root/usr/share/man/man1/sovra-flash.1.gz" | grep -q "^\.SS \"$(sed 's/-/\\\\-/g' <<<"$sub")\( \|\"\)" ||
        fail "sovra-flash.1 has no section for '$sub'"
done

# --- desktop entry and icons
if [ "$gui" = ON ]; then
    desktop=$root/usr/share/applications/sovra-firmware-update.desktop
    if [ -f "$desktop" ]; then
        if command -v desktop-file-validate >/dev/null; then
            desktop-file-validate "$desktop" || fail "desktop entry does not validate"
        fi
        exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
        [ -x "$root/usr/bin/$exec_name" ] || fail "desktop entry runs '$exec_name', not in usr/bin"
        icon=$(sed -n 's/^Icon=//p' "$desktop")
        for size in 16 24 32 48 256; do
            png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
            if [ ! -f "$png" ]; then
                fail "no ${size}x${size} icon $icon.png"
            elif command -v file >/dev/null; then
                file "$png" | grep -q "PNG image data, $size x $size," ||
                    fail "$png is not a ${size}x${size} PNG: $(file -b "$png")"
            fi
        done
    else
        fail "no desktop entry"
    fi
fi

# --- the programs start from the unpacked tree
export QT_QPA_PLATFORM=offscreen
for p in "${programs[@]}"; do
    exe=$root/usr/bin/$p
    out=$("$exe" --version 2>&1) || fail "$p --version exits with $?"
    [ "$out" = "$p $version" ] || fail "$p --version prints '$out'"
    out=$("$exe" --help 2>&1) || fail "$p --help exits with $?"
    grep -q "Usage: .*$p" <<<"$out" || fail "$p --help shows no usage: $out"
done
for sub in $subcommands; do
    out=$("$flash" "$sub" --help 2>&1) || fail "sovra-flash $sub --help exits with $?"
    grep -q "^Examples\?:" <<<"$out" || fail "sovra-flash $sub --help shows no example"
done
grep -q "^Example" <<<"$("$root/usr/bin/sovra-beamformer-sim" --help)" ||
    fail "sovra-beamformer-sim --help shows no example"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; the package is in $scratch" >&2
    exit 1
fi
rm -rf "$scratch"
echo "package $(basename "$deb") checked"
