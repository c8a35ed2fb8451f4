#!/usr/bin/env bash
# The desktop application loses its display in the middle of an update: the
# X server is killed, once while the flash is being read back and once while
# it is being written. Either way the device must end with its old flash or
# exactly the new image, and the system log and the history must tell how
# the update ended.
#
#   display_loss_test.sh GUI SIM FLASH
#
# Exit status 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail
gui=$1 sim=$2 flash=$3
for tool in Xvfb xdotool python3 cmp; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL ($scenario): $*" >&2; cat "$work/$scenario/sim.log" >&2 || true; exit 1; }

cd "$work"
cat > FirmwareUpdate.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Device_list>
  <Device File_Name="bf100_0103.img" REV="01.03" Device_Name="Beamformer 100" VID="abc" PID="10"/>
</Device_list>
XML
"$flash" sample-image --output bf100_0103.img --seed 7 >/dev/null
# The flash the virtual device starts with.
"$sim" --save-flash before -- true 2>/dev/null
export QT_QPA_PLATFORM=xcb

wait_window() {
    local id=""
    for _ in $(seq 600); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    fail "no window \"$1\" appeared"
}
key() { xdotool key --clearmodifiers --delay 80 "$@"; sleep 0.4; }

for scenario in reading writing; do
    mkdir -p "$scenario"
    export XDG_STATE_HOME=$work/$scenario/state
    exec 3<> <(:)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$scenario/xvfb.log" 2>&1 &
    xvfb=$!
    pids+=("$xvfb")
    number=""
    read -r -t 20 number <&3 || true
    exec 3<&-
    [ -n "$number" ] || fail "Xvfb did not start"
    export DISPLAY=:$number

    # A second file (a file manager's selection) is ignored: the window opens.
    "$sim" --device 0abc:0010:0102,latency-us=1500 --save-flash "$scenario/after" -- \
        "$gui" FirmwareUpdate.xml bf100_0103.img >"$scenario/sim.log" 2>&1 &
    app=$!
    pids+=("$app")

    main=$(wait_window "SovRa firmware upgrade 1.02")
    xdotool windowfocus --sync "$main"
    sleep 1
    # As a user would: the firmware list, its one row, Start Update, OK.
    key Tab Tab Tab
    key alt+Down
    key Down Return
    key shift+Tab
    key space
    wait_window "Dialog" >/dev/null
    key Return
    wait_window "Firmware update" >/dev/null
    backups=$XDG_STATE_HOME/sovra-firmware-update/backups
    if [ "$scenario" = reading ]; then
        sleep 1
        compgen -G "$backups/*.bin" >/dev/null && fail "the flash was read back too soon to test"
    else
        # The backup is kept right before the image is built and written.
        for _ in $(seq 600); do
            compgen -G "$backups/*.bin" >/dev/null && break
            sleep 0.05
        done
        sleep 1
    fi
    kill "$xvfb"

    status=0
    wait "$app" || status=$?
    [ "$status" -ne 0 ] || fail "the program went on without its display"
    [ -f "$scenario/after/device-1.bin" ] || fail "the launcher saved no flash"
    grep -q "system log: .*Firware update started." "$scenario/sim.log" || fail "no start entry"
    grep -q "only the first of 2 files is read" "$scenario/sim.log" || fail "no word on the extra file"
    records=$(grep -c . "$XDG_STATE_HOME/sovra-firmware-update/history.jsonl" || true)
    [ "$records" = 1 ] || fail "$records history records, not 1"
    if [ "$scenario" = reading ]; then
        cmp -s before/device-1.bin "$scenario/after/device-1.bin" || fail "the flash was changed"
        grep -q "system log: .*Error updating device." "$scenario/sim.log" || fail "no end entry"
        grep -q '"status":"0xA0030004"' "$XDG_STATE_HOME/sovra-firmware-update/history.jsonl" ||
            fail "the history does not say the update was stopped"
    else
        grep -q "system log: .*Firmware is updated in" "$scenario/sim.log" || fail "no success entry"
        # The new image, built again from the old flash at the time stamped
        # into the written one, byte for byte.
        now=$("$flash" inspect --json "$scenario/after/device-1.bin" | python3 -c '
import json, sys
entries = [e for d in json.load(sys.stdin)["device_info"] for e in d["entries"]]
print([e["filetime"] for e in entries if e.get("name") == "UpdateTime"][-1])')
        "$flash" merge --readback before/device-1.bin --firmware bf100_0103.img --now "$now" \
            --flash-image --output "$scenario/expected.bin" >/dev/null
        cmp -s "$scenario/expected.bin" "$scenario/after/device-1.bin" ||
            fail "the device does not hold the new image"
    fi
    echo "$scenario: the display went away; the update ended as it should"
done
