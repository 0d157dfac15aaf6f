#!/usr/bin/env bash
# End-to-end test of the desktop program on a virtual X screen: it starts,
# shows its main window "DUVO" at 50,50 and nothing else, Ctrl+O opens the
# file dialog, Escape closes it, Ctrl+X ends the program with status 0.
#
#   e2e_desktop.sh PATH_TO_DUVO
# Exit status 77 (skipped) only when Xvfb or xdotool is not installed.
set -uo pipefail

duvo=$(realpath "${1:?usage: e2e_desktop.sh PATH_TO_DUVO}")
for tool in Xvfb xdotool; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/deps.sh installs it)"
        exit 77
    fi
done

work=$(mktemp -d)
xvfb_pid=""
duvo_pid=""
cleanup() {
    [ -n "$duvo_pid" ] && kill "$duvo_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    if [ -s "$work/duvo.log" ]; then
        echo "--- program output"
        cat "$work/duvo.log"
    fi
    exit 1
}

# until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds.
until_ok() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# visible_named REGEX: ids of the visible windows whose name matches.
visible_named() { xdotool search --onlyvisible --name "$1" 2>/dev/null; }

# Xvfb picks a free display itself and writes its number to fd 3, so tests
# running side by side never collide.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
until_ok 10 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"
until_ok 10 xdotool getdisplaygeometry || fail "display $DISPLAY does not answer"

# ctest runs the other tests on Qt's offscreen platform; this one needs X.
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
(cd "$work" && exec "$duvo") >"$work/duvo.log" 2>&1 &
duvo_pid=$!

# The main window. xdotool's name match ignores case, so the exact caption
# is checked again afterwards.
main=$(timeout 20 xdotool search --sync --onlyvisible --name '^DUVO$' 2>/dev/null | head -n1)
[ -n "$main" ] || fail "no visible window named DUVO within 20 s"
[ "$(xdotool getwindowname "$main")" = "DUVO" ] || fail "main window caption is '$(xdotool getwindowname "$main")'"

eval "$(xdotool getwindowgeometry --shell "$main")"
[ "$X,$Y" = "50,50" ] || fail "main window at $X,$Y, expected 50,50"
[ "$WIDTH" -gt 0 ] && [ "$HEIGHT" -gt 0 ] || fail "main window has no size"

shown=$(visible_named '.' | wc -l)
[ "$shown" -eq 1 ] || fail "$shown visible windows at start, expected only the main window"

# Ctrl+O: the file dialog (Qt's own, captioned "Open").
xdotool windowfocus --sync "$main" || fail "cannot focus the main window"
xdotool key --clearmodifiers ctrl+o
until_ok 10 visible_named '^(Open|Otw.*)$' || fail "Ctrl+O showed no file dialog"
dialog=$(visible_named '^(Open|Otw.*)$' | head -n1)

xdotool windowfocus --sync "$dialog" || fail "cannot focus the file dialog"
xdotool key Escape
until_ok 10 sh -c "! xdotool search --onlyvisible --name '^(Open|Otw.*)\$' | grep -q ." ||
    fail "Escape did not close the file dialog"
kill -0 "$duvo_pid" 2>/dev/null || fail "the program ended when the file dialog closed"

# Ctrl+X: the program ends on its own, with status 0.
xdotool windowfocus --sync "$main" || fail "cannot focus the main window again"
xdotool key --clearmodifiers ctrl+x
until_ok 15 sh -c "! kill -0 $duvo_pid" || fail "Ctrl+X did not end the program within 15 s"
wait "$duvo_pid"
status=$?
duvo_pid=""
[ "$status" -eq 0 ] || fail "the program ended with status $status"

echo "PASS: started at 50,50, Ctrl+O opened and Escape closed the file dialog, Ctrl+X ended with status 0"
