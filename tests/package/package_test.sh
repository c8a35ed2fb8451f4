#!/usr/bin/env bash
# Builds the two Debian packages from a built tree, unpacks them and checks
# what a user would get: the control fields and dependencies (the updater's
# name neither umockdev nor GLib), every file in its place and in one
# package, a valid desktop entry with its icons, the MIME type of a bundle's
# catalogue as the freedesktop tools see it, the udev rules, the manual
# pages, and that each program starts from the unpacked tree.
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
# gzip instead of the packages' xz: the contents are what is checked, and xz
# takes a minute over a sanitizer build's programs.
if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$scratch/out" \
    -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack did not make the packages" >&2
    exit 1
fi
shopt -s nullglob
all_debs=("$scratch"/out/*.deb)
main_debs=("$scratch"/out/sovra-firmware-update_"$version"_*.deb)
sim_debs=("$scratch"/out/sovra-beamformer-sim_"$version"_*.deb)
if [ ${#all_debs[@]} -ne 2 ] || [ ${#main_debs[@]} -ne 1 ] || [ ${#sim_debs[@]} -ne 1 ]; then
    ls -l "$scratch/out" >&2
    echo "FAIL: expected sovra-firmware-update_${version}_<arch>.deb and sovra-beamformer-sim_${version}_<arch>.deb, nothing else" >&2
    exit 1
fi
main=${main_debs[0]}
sim=${sim_debs[0]}
# Both unpacked into one tree, as when both are installed.
root=$scratch/root
for deb in "$main" "$sim"; do
    dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x $deb" >&2; exit 1; }
done
# The files (not folders) of each package, one a line, as "./usr/...".
files_of() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$'; }
files_of "$main" | sort >"$scratch/main.files"
files_of "$sim" | sort >"$scratch/sim.files"
in_package() { grep -qxF "./$2" "$scratch/$1.files"; }

# --- control fields
field() { dpkg-deb -f "$1" "$2"; }
# The package names in a relation field, one a line, without versions.
names() { field "$1" "$2" | tr ',|' '\n\n' | awk 'NF { print $1 }'; }
for deb in "$main" "$sim"; do
    name=$(basename "$deb" | cut -d_ -f1)
    [ "$(field "$deb" Package)" = "$name" ] || fail "$name: Package is '$(field "$deb" Package)'"
    [ "$(field "$deb" Version)" = "$version" ] || fail "$name: Version is '$(field "$deb" Version)', not $version"
    [ "$(field "$deb" Section)" = utils ] || fail "$name: Section is '$(field "$deb" Section)'"
    [ "$(field "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
        fail "$name: Architecture is '$(field "$deb" Architecture)'"
    [ -n "$(field "$deb" Maintainer)" ] || fail "$name: no Maintainer"
    [ "$(field "$deb" Description | wc -l)" -gt 1 ] || fail "$name: no long Description"
    [ -z "$(field "$deb" Description | awk 'length > 80')" ] || fail "$name: Description has lines over 80 columns"
done
[ "$(field "$main" Description | head -1)" != "$(field "$sim" Description | head -1)" ] ||
    fail "both packages have the summary '$(field "$main" Description | head -1)'"

wanted_depends=(libc6 libstdc++6 libusb-1.0-0 libudev1 libsystemd0 gpgv)
[ "$gui" = ON ] && wanted_depends+=(libqt6widgets6)
for dep in "${wanted_depends[@]}"; do
    names "$main" Depends | grep -qxF "$dep" || fail "sovra-firmware-update: Depends lacks $dep: $(field "$main" Depends)"
done
# The updater works without the virtual beamformer's libraries.
for f in Pre-Depends Depends Recommends; do
    unwanted=$(names "$main" "$f" | grep -E 'umockdev|glib')
    [ -z "$unwanted" ] || fail "sovra-firmware-update: $f names $unwanted: $(field "$main" "$f")"
done
for dep in sovra-firmware-update umockdev libumockdev0; do
    names "$sim" Depends | grep -qxF "$dep" || fail "sovra-beamformer-sim: Depends lacks $dep: $(field "$sim" Depends)"
done
field "$sim" Depends | grep -qF "sovra-firmware-update (= $version)" ||
    fail "sovra-beamformer-sim: Depends does not pin sovra-firmware-update (= $version): $(field "$sim" Depends)"

# The maintainer script only ever applies rules, and must parse.
postinst=$scratch/control/postinst
dpkg-deb -e "$main" "$scratch/control"
if [ -x "$postinst" ]; then
    sh -n "$postinst" || fail "postinst does not parse"
    grep -q 'attr-match=idVendor=0abc' "$postinst" || fail "postinst triggers no rule of ours"
else
    fail "no executable postinst"
fi

# --- files: everything under /usr, each where the system looks for it, in
# one package only
while read -r path; do
    case $path in
        ./usr/*) ;;
        *) fail "file outside /usr: $path" ;;
    esac
done < <(cat "$scratch/main.files" "$scratch/sim.files")
shared=$(comm -12 "$scratch/main.files" "$scratch/sim.files")
[ -z "$shared" ] || fail "files in both packages: $shared"

main_programs=(sovra-flash)
[ "$gui" = ON ] && main_programs+=(sovra-firmware-update)
programs=("${main_programs[@]}" sovra-beamformer-sim)
for p in "${main_programs[@]}"; do
    in_package main "usr/bin/$p" || fail "sovra-firmware-update lacks usr/bin/$p"
    in_package main "usr/share/man/man1/$p.1.gz" || fail "sovra-firmware-update lacks $p.1.gz"
    # dpkg-shlibdeps only sees what a program links itself.
    needed=$(objdump -p "$root/usr/bin/$p" | awk '$1 == "NEEDED" { print $2 }')
    bad=$(grep -E 'umockdev|glib|gobject' <<<"$needed")
    [ -z "$bad" ] || fail "$p links $bad"
done
in_package sim usr/bin/sovra-beamformer-sim || fail "sovra-beamformer-sim lacks usr/bin/sovra-beamformer-sim"
in_package sim usr/share/man/man1/sovra-beamformer-sim.1.gz || fail "sovra-beamformer-sim lacks its manual page"
sim_needed=$(objdump -p "$root/usr/bin/sovra-beamformer-sim")
grep -q 'NEEDED.*libumockdev' <<<"$sim_needed" ||
    fail "sovra-beamformer-sim does not link libumockdev: the package test looks at the wrong program"
for p in "${programs[@]}"; do
    [ -x "$root/usr/bin/$p" ] || fail "no program usr/bin/$p"
done

rules=$root/usr/lib/udev/rules.d/70-sovra-beamformer.rules
if in_package main usr/lib/udev/rules.d/70-sovra-beamformer.rules; then
    cmp -s "$rules" "$source/packaging/70-sovra-beamformer.rules" ||
        fail "installed udev rules differ from packaging/70-sovra-beamformer.rules"
    grep -q '^SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="0abc", ATTR{idProduct}=="0010", TAG+="uaccess"' "$rules" ||
        fail "udev rules lack the sample's first device"
else
    fail "no udev rules in usr/lib/udev/rules.d"
fi

in_package main usr/share/doc/sovra-firmware-update/examples/FirmwareUpdate.xml || fail "no sample catalogue"

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

# --- shell completion: each shell's file, generated by the packaged
# program; bash completes in a real interactive shell as a user types, zsh and
# fish where they are installed
complete_in() { "$source/tests/package/complete_in_shell.py" "$@"; }
declare -A completion_files=(
    [bash]=usr/share/bash-completion/completions/sovra-flash
    [zsh]=usr/share/zsh/vendor-completions/_sovra-flash
    [fish]=usr/share/fish/vendor_completions.d/sovra-flash.fish
)
for sh in bash zsh fish; do
    file=${completion_files[$sh]}
    if ! in_package main "$file"; then
        fail "no $sh completion $file"
        continue
    fi
    cmp -s "$root/$file" <("$flash" completion "$sh") || fail "$file is not what 'sovra-flash completion $sh' prints"
    [ "$sh" = bash ] || command -v "$sh" >/dev/null || continue
    for case in "sovra-flash up|update" "sovra-flash update --fi|update --firmware" \
        "sovra-flash completion f|completion fish"; do
        got=$(PATH="$root/usr/bin:$PATH" complete_in "$sh" "$root/$file" "${case%%|*}")
        [ "$got" = "${case#*|}" ] || fail "$sh completes '${case%%|*}' to '$got', not '${case#*|}'"
    done
done
# The present devices after --device, here a virtual one.
mkdir -p "$scratch/bundle-dir"
cp "$root/usr/share/doc/sovra-firmware-update/examples/FirmwareUpdate.xml" "$scratch/bundle-dir/"
got=$(cd "$scratch/bundle-dir" && PATH="$root/usr/bin:$PATH" "$root/usr/bin/sovra-beamformer-sim" -- \
    "$source/tests/package/complete_in_shell.py" bash "$root/${completion_files[bash]}" \
    "sovra-flash update --device /dev/bus/u" 2>/dev/null)
[ "$got" = "update --device /dev/bus/usb/001/002" ] || fail "bash completes a present device to '$got'"

# --- the station service: its template unit verifies against the unpacked
# program and manual page, its user is a member of the group the udev rules
# give the beamformers to, and nothing enables it
unit=usr/lib/systemd/system/sovra-flash-watch@.service
if in_package main "$unit"; then
    mkdir -p "$scratch/units"
    sed "s|/usr/bin/sovra-flash|$root/usr/bin/sovra-flash|" "$root/$unit" >"$scratch/units/sovra-flash-watch@.service"
    if command -v systemd-analyze >/dev/null; then
        out=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/units/sovra-flash-watch@.service" 2>&1) ||
            fail "systemd-analyze verify: $out"
    fi
    group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$rules" | sort -u)
    grep -qx "m sovra-flash $group" "$root/usr/lib/sysusers.d/sovra-flash-watch.conf" ||
        fail "the station user is not in $group, the group of the udev rules"
    grep -qx "SupplementaryGroups=$group" "$root/$unit" || fail "the station unit does not run in group $group"
    in_package main usr/share/doc/sovra-firmware-update/examples/station.conf || fail "no example station.conf"
    grep -q systemctl "$postinst" && grep -q 'systemctl.*enable' "$postinst" && fail "postinst enables a unit"
else
    fail "no $unit"
fi

# --- desktop entry, icons and the catalogue's MIME type
mime_type=application/x-sovra-firmware-catalogue
if [ "$gui" = ON ]; then
    desktop=$root/usr/share/applications/sovra-firmware-update.desktop
    if [ -f "$desktop" ]; then
        if command -v desktop-file-validate >/dev/null; then
            desktop-file-validate "$desktop" || fail "desktop entry does not validate"
        fi
        exec_line=$(sed -n 's/^Exec=//p' "$desktop")
        exec_name=${exec_line%% *}
        [ -x "$root/usr/bin/$exec_name" ] || fail "desktop entry runs '$exec_name', not in usr/bin"
        [ "$exec_line" = "$exec_name %f" ] || fail "desktop entry does not pass the opened file: Exec=$exec_line"
        grep -qx "MimeType=\(.*;\)\?$mime_type;" "$desktop" ||
            fail "desktop entry lacks MimeType $mime_type: $(grep MimeType "$desktop")"
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

    # Software centres: the metainfo validates, launches our desktop entry,
    # shows every screenshot in docs/ at its size and offers the application
    # for every device of the udev rules (the sample catalogue's).
    metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml 2>/dev/null)
    if [ -z "$metainfo" ]; then
        fail "no metainfo in usr/share/metainfo"
    else
        command -v appstreamcli >/dev/null && { out=$(appstreamcli validate --no-net "$metainfo" 2>&1) ||
            fail "appstreamcli validate: $out"; }
        grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$metainfo" ||
            fail "the metainfo launches no $(basename "$desktop")"
        grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
        for png in "$source"/docs/screenshots/*.png; do
            size=$(file -b "$png" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/width="\1" height="\2"/p')
            grep -q "$size>[^<]*/$(basename "$png")</image>" "$metainfo" ||
                fail "the metainfo lacks screenshot $(basename "$png") at $size"
        done
        want=$(sed -n 's/.*idVendor}=="\([0-9a-f]*\)".*idProduct}=="\([0-9a-f]*\)".*/\1 \2/p' "$rules" |
            while read -r v p; do echo "usb:v${v^^}p${p^^}d*"; done | sort)
        got=$(sed -n 's|.*<modalias>\(.*\)</modalias>.*|\1|p' "$metainfo" | sort)
        [ -n "$want" ] && [ "$want" = "$got" ] || fail "the metainfo's modaliases are '$got', not '$want'"
    fi

    # The MIME definition, compiled as the system would into a data folder
    # of the test's own, and asked about as a file manager asks: a bundle's
    # FirmwareUpdate.xml is our type and opens with our desktop entry; other
    # XML files are left alone.
    mime_xml=$root/usr/share/mime/packages/sovra-firmware-update.xml
    data=$scratch/xdg-data
    if [ ! -f "$mime_xml" ]; then
        fail "no MIME definition usr/share/mime/packages/sovra-firmware-update.xml"
    elif ! command -v update-mime-database >/dev/null || ! command -v gio >/dev/null ||
        ! command -v update-desktop-database >/dev/null; then
        fail "update-mime-database, update-desktop-database or gio missing (scripts/install-deps installs them)"
    else
        # gio lists only applications whose program is on the PATH.
        xdg() {
            env -u XDG_CURRENT_DESKTOP XDG_DATA_HOME="$data" XDG_DATA_DIRS="$data" \
                XDG_CONFIG_HOME="$scratch/xdg-config" PATH="$root/usr/bin:$PATH" "$@"
        }
        mkdir -p "$data/mime/packages" "$data/applications" "$scratch/bundle"
        cp "$mime_xml" "$data/mime/packages/"
        cp "$desktop" "$data/applications/"
        xdg update-mime-database "$data/mime" || fail "update-mime-database refuses the MIME definition"
        xdg update-desktop-database "$data/applications" || fail "update-desktop-database refuses the desktop entry"
        for name in FirmwareUpdate.xml other.xml firmwareupdate.xml; do
            echo '<Device_list/>' >"$scratch/bundle/$name"
        done
        type_of() {
            xdg gio info --attributes=standard::content-type "$scratch/bundle/$1" |
                sed -n 's/^ *standard::content-type: //p'
        }
        [ "$(type_of FirmwareUpdate.xml)" = "$mime_type" ] ||
            fail "FirmwareUpdate.xml is '$(type_of FirmwareUpdate.xml)', not $mime_type"
        for name in other.xml firmwareupdate.xml; do
            [ "$(type_of "$name")" != "$mime_type" ] || fail "$name is taken for a catalogue too"
        done
        default=$(xdg gio mime "$mime_type" | sed -n 's/^Default application for .*: //p')
        [ "$default" = sovra-firmware-update.desktop ] ||
            fail "$mime_type opens with '$default', not sovra-firmware-update.desktop"
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
    echo "$failures check(s) failed; the packages are in $scratch" >&2
    exit 1
fi
rm -rf "$scratch"
echo "packages $(basename "$main") and $(basename "$sim") checked"
