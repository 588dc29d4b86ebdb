#!/usr/bin/env bash
# Screenshot test: runs the window launcher (scripted update pass) under the test display,
# captures the screen with xwd and compares pixels of the laid-out window, not whole images:
# Start #646464 while disabled, #22C55E once enabled and #16A34A while held down, Zalo and
# Telegram #3B82F6, and the background gradient from #1E1E1E at the top towards #2A2A2A.
# Usage: screenshot_test.sh BIN_DIR WINEPREFIX SOURCE_DIR OUTPUT_DIR
set -euo pipefail
bin=$1
export WINEPREFIX=$2
root=$3
out=$4
. "$root/scripts/wine-env"
if [ -z "${DISPLAY:-}" ]; then
    echo "screenshot test: no DISPLAY (scripts/test provides one)" >&2
    exit 1
fi

work=$(mktemp -d)
launcher_pid=
cleanup() {
    if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then
        wine "$bin/hopwell-driver.exe" close >/dev/null 2>&1 || true
        sleep 3
        kill "$launcher_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $1: expected $2, got $3" >&2
    fi
}
driver() { wine "$bin/hopwell-driver.exe" "$@"; }
capture() { xwd -root -silent | convert xwd:- "png:$1"; }
# Colour at client coordinates X Y of a capture, as #RRGGBB.
pixel() { echo "#$(convert "$1" -format "%[hex:p{$((cx + $2)),$((cy + $3))}]" info: | cut -c1-6)"; }

mkdir -p "$work/app" "$work/elsewhere" "$out"
cp "$bin/hopwell-window.exe" "$work/app/"
gate="$work/gate"
cd "$work/elsewhere"  # not the application directory: it must not matter
HOPWELL_FAKE_GATE="Z:${gate//\//\\}" wine "$work/app/hopwell-window.exe" >/dev/null 2>&1 &
launcher_pid=$!

driver wait-window 30000 >/dev/null
driver wait-log "AppDirectory:" 10000 >/dev/null
check "AppDirectory is the executable's directory" "AppDirectory: Z:${work//\//\\}\\app" \
    "$(driver log | head -1 | tr -d '\r')"
check "status line" "Fake pass" "$(driver status)"
read -r _ cx cy w h < <(driver geometry | grep '^client')
sleep 0.5  # let the window finish painting
capture "$out/screenshot-disabled.png"
shot="$out/screenshot-disabled.png"
# Buttons: a point inside the body, left of the caption.
check "Start disabled" "#646464" "$(pixel "$shot" $((w - 132 + 6)) $((h - 40 + 16)))"
check "Zalo" "#3B82F6" "$(pixel "$shot" $((w - 388 + 6)) $((h - 40 + 16)))"
check "Telegram" "#3B82F6" "$(pixel "$shot" $((w - 260 + 6)) $((h - 40 + 16)))"
# Background: the left margin, beside the log box, from the top row to the bottom row.
check "gradient top" "#1E1E1E" "$(pixel "$shot" 5 0)"
bottom=$(pixel "$shot" 5 $((h - 1)))
case "$bottom" in "#292929" | "#2A2A2A") check "gradient bottom" ok ok ;;
    *) check "gradient bottom" "#2A2A2A" "$bottom" ;; esac
previous=0
monotone=yes
for y in $(seq 0 10 $((h - 1))); do
    value=$((16#$(pixel "$shot" 5 "$y" | cut -c2-3)))
    [ "$value" -ge "$previous" ] || monotone="no, row $y"
    previous=$value
done
check "gradient grows downwards" yes "$monotone"

touch "$gate"
driver wait-enabled 10000 >/dev/null
sleep 0.5
capture "$out/screenshot-enabled.png"
shot="$out/screenshot-enabled.png"
check "Start enabled" "#22C55E" "$(pixel "$shot" $((w - 132 + 6)) $((h - 40 + 16)))"
check "driver reads the same pixel" "#22C55E" "$(driver pixel $((w - 132 + 6)) $((h - 40 + 16)))"
check "Zalo after the pass" "#3B82F6" "$(pixel "$shot" $((w - 388 + 6)) $((h - 40 + 16)))"

driver mouse-down-start
sleep 0.5
capture "$out/screenshot-pressed.png"
check "Start pressed" "#16A34A" "$(pixel "$out/screenshot-pressed.png" $((w - 132 + 6)) $((h - 40 + 16)))"
driver mouse-up-start
# The release clicks Start; there is no AutoTorvane.exe beside this launcher.
check "click after release" 0 "$(driver wait-log "Không tìm thấy AutoTorvane.exe" 10000 >/dev/null; echo $?)"

driver close
driver wait-closed 15000 >/dev/null
wait "$launcher_pid" || true
launcher_pid=

echo "screenshot: $passed passed, $failed failed (captures in $out)"
[ "$failed" -eq 0 ]
