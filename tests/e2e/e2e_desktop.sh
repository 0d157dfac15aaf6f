#!/usr/bin/env bash
# End-to-end test of the desktop program on a virtual X screen with a window
# manager that frames windows (openbox), driven with xdotool as a user would:
#  - at start only the main window "DUVO" is shown, its frame at 50,50 and
#    528 x 464 from the first showing;
#  - Ctrl+O opens the open dialog, captioned in Polish ("Otwórz");
#  - a picture larger than the screen, opened into both panes through the
#    side dialog, whose frame stands at 300,251, 281 x 169, and which asks
#    for a title bar without buttons;
#  - neither the side dialog nor the progress window can be minimised or
#    maximised (openbox's _NET_WM_ALLOWED_ACTIONS, which also decide its
#    buttons), both still move and resize, and openbox's close (Alt+F4)
#    leaves the side dialog shown;
#  - the comparison's result window: frame at 400,20 on its first showing,
#    and the whole frame on the screen;
#  - a message box (the compare command's error box) can be neither
#    minimised nor maximised, asks for the side dialog's window types,
#    takes the keyboard and closes with Enter;
#  - with one core kept busy, the progress window of a long comparison
#    (two 12000 x 9000 pictures) under a window manager slow to show it
#    (its inside covered for its first 200 ms on the screen): the program
#    waits for the window to be really on the screen before the pixel loop,
#    and the window is painted while the loop runs: captured about every
#    10 ms (duvo_e2e_capture) from the moment the cover goes, every capture
#    from the first painted one, which comes within 250 ms, shows the
#    label's dark text on the window's face and a bar, and the bar grows
#    between two captures;
#  - covered for 10 s, as under a stalled window manager, the progress
#    window does not hold the comparison up: it ends while still covered;
#  - a minimised modal window (the about window, the options dialog) comes
#    back when the main window is clicked or another window of the program
#    is activated, and not before;
#  - Ctrl+O in the result window shows the open dialog, and Ctrl+X in the
#    percentages window ends the program with status 0.
# Frames are read as the window manager reports them (_NET_FRAME_EXTENTS).
#
#   e2e_desktop.sh PATH_TO_DUVO PATH_TO_DUVO_E2E_CAPTURE
# Exit status 77 (skipped) only when Xvfb, openbox, xdotool, x11-utils or
# ImageMagick is not installed, or the capture tool could not be built.
set -uo pipefail

usage="usage: e2e_desktop.sh PATH_TO_DUVO PATH_TO_DUVO_E2E_CAPTURE"
duvo=$(realpath "${1:?$usage}")
for tool in Xvfb openbox xdotool xprop xwininfo convert; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/deps.sh installs it)"
        exit 77
    fi
done
if [ -z "${2:-}" ] || [ ! -x "$2" ]; then
    echo "SKIP: no capture tool (duvo_e2e_capture needs libxcb1-dev)"
    exit 77
fi
capture=$(realpath "$2")

work=$(mktemp -d)
xvfb_pid=""
wm_pid=""
duvo_pid=""
busy_pid=""
capture_pid=""
cleanup() {
    [ -n "$busy_pid" ] && kill "$busy_pid" 2>/dev/null
    [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
    [ -n "$duvo_pid" ] && kill "$duvo_pid" 2>/dev/null
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    # With DUVO_E2E_SHOTS set, the screen as it was goes there.
    [ -n "${DUVO_E2E_SHOTS:-}" ] && mkdir -p "$DUVO_E2E_SHOTS" && import -window root "$DUVO_E2E_SHOTS/failure.png"
    if [ -s "$work/duvo.log" ]; then
        echo "--- program output"
        cat "$work/duvo.log"
    fi
    exit 1
}

# until_ok SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds.
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

# window_named REGEX SECONDS: the id of the first visible window whose name
# matches, waiting for it.
window_named() {
    until_ok "$2" visible_named "$1" || return 1
    visible_named "$1" | head -n1
}

# outer ID: the frame's "x y width height", from the client area's place on
# the screen and the frame extents the window manager set.
outer() {
    local x y w h l r t b
    read -r x y w h < <(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
        /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}')
    IFS=', ' read -r l r t b < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed -n 's/.*= *//p')
    echo "$((x - ${l:-0})) $((y - ${t:-0})) $((w + ${l:-0} + ${r:-0})) $((h + ${t:-0} + ${b:-0}))"
}

# no_button_actions WHAT ID: fails unless the window manager lets the window
# move and resize but neither minimise nor maximise it. Openbox leaves the
# list on a window it has let go, so it can be read after the window is gone.
no_button_actions() {
    local actions action
    actions=$(xprop -id "$2" _NET_WM_ALLOWED_ACTIONS)
    for action in MOVE RESIZE; do
        grep -q "_NET_WM_ACTION_$action\b" <<<"$actions" || fail "$1 cannot $action: $actions"
    done
    for action in MINIMIZE MAXIMIZE_HORZ MAXIMIZE_VERT; do
        grep -q "_NET_WM_ACTION_$action\b" <<<"$actions" && fail "$1 allows $action: $actions"
    done
}

# framed ID: true once the window manager has framed the window.
framed() { xprop -id "$1" _NET_FRAME_EXTENTS | grep -q '='; }

# viewable ID: true while the window is on the screen (mapped, and its
# frame too).
viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }

# minimised ID: true while the window manager keeps the window minimised.
minimised() { xprop -id "$1" _NET_WM_STATE 2>/dev/null | grep -q '_NET_WM_STATE_HIDDEN' && ! viewable "$1"; }

# restored ID: true once the window is back on the screen and active.
restored() { viewable "$1" && ! minimised "$1" && [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }

# bmp_header WIDTH HEIGHT: the 54-byte header of a 24-bit BMP whose rows
# need no padding (WIDTH a multiple of 4).
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }
bmp_header() {
    local size=$(($1 * 3 * $2))
    printf 'BM'; le32 $((54 + size)); le32 0; le32 54
    le32 40; le32 "$1"; le32 "$2"; printf '\x01\x00\x18\x00'; le32 0; le32 "$size"; le32 2835; le32 2835
    le32 0; le32 0
}

# A black 24-bit BMP of 1400 x 1100 pixels, larger than the 1280 x 1024
# screen, and one of 12000 x 9000 whose comparison lasts long enough to be
# watched (half a second to a second with a core busy). The long one lies
# in a folder of its own, so that typing its name selects nothing in the
# open dialog's list, whose preview would read it at each key.
picture="$work/large.bmp"
{ bmp_header 1400 1100; head -c $((4200 * 1100)) /dev/zero; } >"$picture"
mkdir "$work/long"
long="$work/long/long.bmp"
{ bmp_header 12000 9000; head -c $((36000 * 9000)) /dev/zero; } >"$long"

# Xvfb picks a free display itself and writes its number to fd 3, so tests
# running side by side never collide.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
until_ok 10 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"
until_ok 10 xdotool getdisplaygeometry || fail "display $DISPLAY does not answer"

# Openbox is slow to take over a screen on a busy machine, and now and then
# gives up while it waits: it gets 30 seconds and a second start.
for attempt in 1 2; do
    openbox --sm-disable >"$work/openbox.log" 2>&1 &
    wm_pid=$!
    until_ok 30 sh -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" && break
    kill "$wm_pid" 2>/dev/null
    wait "$wm_pid" 2>/dev/null
    wm_pid=""
done
[ -n "$wm_pid" ] || fail "openbox did not start: $(cat "$work/openbox.log")"

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
until_ok 5 framed "$main" || fail "the window manager did not frame the main window"
read -r x y w h < <(outer "$main")
[ "$x,$y $w x $h" = "50,50 528 x 464" ] || fail "main window frame at $x,$y, $w x $h, expected 50,50, 528 x 464"

shown=$(visible_named '.' | wc -l)
[ "$shown" -eq 1 ] || fail "$shown visible windows at start, expected only the main window"

# compare: Porównaj > Porównaj, through the menu.
compare() {
    xdotool windowactivate --sync "$main" || fail "cannot activate the main window"
    xdotool key --clearmodifiers alt+o
    sleep 0.3
    xdotool key p
}

# The window types the side dialog asks for, and message boxes with it:
# openbox ignores the Motif functions and leaves minimise and maximise to a
# toolbar.
no_button_types="_NET_WM_WINDOW_TYPE_TOOLBAR, _NET_WM_WINDOW_TYPE_DIALOG"
window_types() { xprop -id "$1" _NET_WM_WINDOW_TYPE | sed -n 's/.*= *//p'; }

# Comparing without pictures: the error box is a dialog that can be neither
# minimised nor maximised, and it takes the keyboard.
compare
box=$(window_named '^Bl.*d !$' 10) || fail "comparing without pictures showed no error box"
until_ok 5 framed "$box" || fail "the window manager did not frame the error box"
[ "$(window_types "$box")" = "$no_button_types" ] || fail "error box window types: $(window_types "$box")"
xprop -id "$box" _MOTIF_WM_HINTS | grep -q '= 0x3, 0x6, 0xe, 0x0, 0x0$' ||
    fail "error box hints: $(xprop -id "$box" _MOTIF_WM_HINTS)"
actions=$(xprop -id "$box" _NET_WM_ALLOWED_ACTIONS)
for action in MINIMIZE MAXIMIZE_HORZ MAXIMIZE_VERT; do
    grep -q "_NET_WM_ACTION_$action\b" <<<"$actions" && fail "the error box allows $action: $actions"
done
until_ok 5 sh -c "[ \"\$(xdotool getactivewindow)\" = $box ]" || fail "the error box did not take the keyboard"
xdotool key Return
until_ok 5 sh -c "! xdotool search --onlyvisible --name '^Bl.*d !\$' | grep -q ." || fail "Enter did not close the error box"

# open_into SIDE PATH (SIDE 0 left, 1 right): Ctrl+O, the path typed into
# the open dialog (an empty PATH takes the file it offers, the one chosen
# last), the side chosen in the side dialog and OK pressed.
open_into() {
    local dialog side=""
    xdotool windowactivate --sync "$main" || fail "cannot activate the main window"
    xdotool key --clearmodifiers ctrl+o
    dialog=$(window_named '^Otw' 10) || fail "Ctrl+O showed no open dialog"
    [ "$(xdotool getwindowname "$dialog")" = "Otwórz" ] ||
        fail "open dialog caption is '$(xdotool getwindowname "$dialog")', expected 'Otwórz'"
    xdotool windowactivate --sync "$dialog" || fail "cannot activate the open dialog"
    if [ -n "$2" ]; then
        # Into the name field, whatever has the focus: a click there, then
        # the name offered selected and typed over.
        sleep 0.3
        xdotool mousemove --window "$dialog" 360 427 click 1
        xdotool key --clearmodifiers ctrl+a
        xdotool type --delay 5 "$2"
        sleep 0.3
    fi
    xdotool key Return
    # The name field's completion list, when it is open, takes the first
    # Enter for itself.
    for _ in 1 2; do
        side=$(window_named '^Gdzie' 3) && break
        visible_named '^Otw' | grep -qx "$dialog" && xdotool key Return
    done
    [ -n "$side" ] || side=$(window_named '^Gdzie' 20) || fail "no side dialog after choosing the picture"
    until_ok 5 framed "$side" || fail "the window manager did not frame the side dialog"
    read -r x y w h < <(outer "$side")
    [ "$x,$y $w x $h" = "300,251 281 x 169" ] || fail "side dialog frame at $x,$y, $w x $h, expected 300,251, 281 x 169"
    # Functions move and resize only, decorations title, border and handle.
    xprop -id "$side" _MOTIF_WM_HINTS | grep -q '= 0x3, 0x6, 0xe, 0x0, 0x0$' ||
        fail "side dialog hints: $(xprop -id "$side" _MOTIF_WM_HINTS)"
    no_button_actions "side dialog" "$side"
    [ "$(window_types "$side")" = "$no_button_types" ] || fail "side dialog window types: $(window_types "$side")"
    if [ "$1" -eq 0 ]; then
        xdotool windowactivate --sync "$side" || fail "cannot activate the side dialog"
        xdotool key --clearmodifiers alt+F4
        sleep 0.5
        visible_named '^Gdzie' | grep -qx "$side" || fail "Alt+F4 closed the side dialog"
    fi
    # The radio item of the side, then OK, by their places in the dialog.
    xdotool mousemove --window "$side" 50 $((58 + 20 * $1)) click 1
    xdotool mousemove --window "$side" 69 117 click 1
    until_ok 10 sh -c "! xdotool search --onlyvisible --name '^Gdzie' | grep -q ." || fail "OK did not close the side dialog"
}
open_into 0 "$picture"
open_into 1 "$picture"

compare
result=$(window_named '^Wynik graficzny:$' 20) || fail "the comparison showed no result window"
until_ok 5 framed "$result" || fail "the window manager did not frame the result window"
read -r x y w h < <(outer "$result")
[ "$x,$y" = "400,20" ] || fail "result window frame at $x,$y on its first showing, expected 400,20"
[ $((x + w)) -le 1280 ] && [ $((y + h)) -le 1024 ] ||
    fail "result window frame $x,$y, $w x $h reaches beyond the 1280 x 1024 screen"

# The progress window is shown only while the comparison runs, a moment too
# short to catch; what openbox allowed it stays on the hidden window.
progress=$(xdotool search --name '^Prosze czekac, bedzie wynik\.\.\.$' 2>/dev/null | head -n1)
[ -n "$progress" ] || fail "no progress window"
no_button_actions "progress window" "$progress"

procent=$(window_named '^Procenty$' 10) || fail "the comparison showed no percentages window"

# The long comparison, watched with one core kept busy, under a window
# manager that is slow to show what it maps: for its first 200 ms on the
# screen the progress window's inside stays covered (duvo_e2e_capture
# --late), so the server shows nothing the program paints there and tells
# it nothing about the window being exposed. Openbox itself shows the frame
# before it tells the program that the window is mapped, so only a cover
# shows whether the program waits for its window to be really on the screen.
# From the moment the cover goes the inside is captured about every 10 ms
# until the window goes. A program that does not wait runs its loop under
# the cover: the window leaves while still covered, or comes out with the
# label's place black, since the loop paints only what it has to. Within
# 250 ms after the cover went the window must be painted, and from then on
# every capture must show the label's dark text on the window's light face
# and a bar, and the bar must grow between two of them.
open_into 0 "$long"
open_into 1 ""
mkdir "$work/shots"
(while :; do :; done) &
busy_pid=$!
# watch_progress COVER_MS: captures the progress window of the next
# comparison, started here, into $work/shots; its status is in $captured.
watch_progress() {
    rm -f "$work"/shots/*
    "$capture" --late "$1" "$progress" "$work/shots" >"$work/shots/times" 2>"$work/shots/errors" &
    capture_pid=$!
    compare
    wait "$capture_pid"
    captured=$?
    capture_pid=""
}
watch_progress 200
[ "$captured" -ne 3 ] || fail "the long comparison ended while the progress window's inside was still covered, \
$(cat "$work/shots/errors"): the program did not wait for it to be on the screen"
[ "$captured" -eq 0 ] || fail "the long comparison showed no progress window within 30 s: $(cat "$work/shots/errors")"

# pixels SHOT: "DARK LIGHT BAR FILLED": in the label's place the dark
# (text) and light (face) pixels, across the bar's lower part the pixels
# of the bar (its light groove or its blue chunk) and those of the chunk.
pixels() {
    local height
    height=$(convert "$1" -format %h info:)
    {
        convert "$1" -crop 190x14+30+2 +repage txt:- | sed 1d | sed 's/^/L /'
        convert "$1" -crop "x1+0+$((height - 5))" +repage txt:- | sed 1d | sed 's/^/B /'
    } | awk -F'[(,)]' '{
        r = $3; g = $4; b = $5; hi = r; if (g > hi) hi = g; if (b > hi) hi = b; lo = r; if (g < lo) lo = g; if (b < lo) lo = b
        if ($1 ~ /^L/) { if (hi < 90) dark++; if (lo > 180) light++ }
        else { if (b > r + 80) { bar++; filled++ } else if (lo > 200) bar++ }
    } END { print dark + 0, light + 0, bar + 0, filled + 0 }'
}
shots=$(wc -l <"$work/shots/times")
last=$(tail -n1 "$work/shots/times" | cut -d' ' -f2)
timing="uncovered for ${last:-0} ms"
report=""
painted=0
first_filled=-1
grew=0
while read -r i ms; do
    read -r dark light bar filled < <(pixels "$work/shots/$(printf %03d "$i").ppm")
    report="$report [$ms ms: text $dark, face $light, bar $bar, chunk $filled]"
    if [ "$dark" -lt 40 ] || [ "$light" -lt 1300 ] || [ "$bar" -lt 200 ]; then
        [ "$painted" -eq 0 ] && [ "$ms" -le 250 ] && continue
        fail "the progress window, $timing, shows no label or no bar $ms ms after its cover went:$report"
    fi
    painted=$((painted + 1))
    if [ "$first_filled" -lt 0 ]; then first_filled=$filled; elif [ "$filled" -gt "$first_filled" ]; then grew=1; fi
done <"$work/shots/times"
[ "$painted" -ge 2 ] || fail "the progress window, $timing, was painted in $painted of $shots captures:$report"
[ "$grew" -eq 1 ] || fail "the progress bar did not grow between two captures:$report"
if [ -n "${DUVO_E2E_SHOTS:-}" ]; then
    mkdir -p "$DUVO_E2E_SHOTS"
    for f in "$work"/shots/*.ppm; do convert "$f" "$DUVO_E2E_SHOTS/progress-$(basename "$f" .ppm).png"; done
fi
echo "progress window, $timing, $shots captures:$report"

# A window manager that does not show the window at all within a second
# (a stalled one) does not hold the comparison up: the program waits for
# the window a second at most, and the comparison ends while the window is
# still covered.
watch_progress 10000
[ "$captured" -eq 3 ] || fail "with the progress window covered for 10 s, the comparison did not end while it was \
covered (status $captured, $(cat "$work/shots/errors"))"
echo "progress window covered for 10 s: $(cat "$work/shots/errors")"
kill "$busy_pid" 2>/dev/null
wait "$busy_pid" 2>/dev/null
busy_pid=""

# A minimised modal window blocks every other window of the program: a
# click on the main window, or activating another window of the program,
# brings it back. Minimising it makes openbox hand the focus to the main
# window at once; that leaves it minimised. One core is kept busy.
(while :; do :; done) &
busy_pid=$!
# minimised_modal_comes_back WHAT ID
minimised_modal_comes_back() {
    until_ok 10 restored "$2" || fail "$1 did not take the focus when shown"
    xdotool windowminimize "$2"
    until_ok 10 minimised "$2" || fail "$1 could not be minimised"
    sleep 1.5
    minimised "$2" || fail "$1 came back by itself"
    xdotool mousemove --window "$main" 300 250 click 1
    until_ok 10 restored "$2" || fail "a click on the main window did not bring $1 back"
    xdotool windowminimize "$2"
    until_ok 10 minimised "$2" || fail "$1 could not be minimised again"
    sleep 1.5
    xdotool windowactivate "$procent"
    until_ok 10 restored "$2" || fail "activating the percentages window did not bring $1 back"
    # The program learns that the window is back a moment after the manager.
    sleep 0.5
}
xdotool windowactivate --sync "$main" || fail "cannot activate the main window"
# The about window through its tool button (the question mark), closed with OK.
xdotool mousemove --window "$main" 98 38 click 1
about=$(window_named '^O programie' 10) || fail "the tool button showed no about window"
minimised_modal_comes_back "the about window" "$about"
xdotool mousemove --window "$about" 396 65 click 1
until_ok 10 sh -c "! xdotool search --onlyvisible --name '^O programie' | grep -q ." || fail "OK did not close the about window"
# The options dialog through P&orównaj > P&okaz wyniki, closed with Anuluj.
xdotool windowactivate --sync "$main" || fail "cannot activate the main window"
xdotool key --clearmodifiers alt+o
sleep 0.3
xdotool key o
options=$(window_named '^Wyniki$' 10) || fail "the menu showed no options dialog"
minimised_modal_comes_back "the options dialog" "$options"
xdotool mousemove --window "$options" 266 68 click 1
until_ok 10 sh -c "! xdotool search --onlyvisible --name '^Wyniki\$' | grep -q ." || fail "Anuluj did not close the options dialog"
kill "$busy_pid" 2>/dev/null
wait "$busy_pid" 2>/dev/null
busy_pid=""

# Ctrl+O in the result window: the main menu's open command, whose dialog
# Escape closes again.
xdotool windowactivate --sync "$result" || fail "cannot activate the result window"
xdotool key --clearmodifiers ctrl+o
dialog=$(window_named '^Otw' 10) || fail "Ctrl+O in the result window showed no open dialog"
xdotool windowactivate --sync "$dialog" || fail "cannot activate the open dialog"
xdotool key Escape
until_ok 10 sh -c "! xdotool search --onlyvisible --name '^Otw' | grep -q ." || fail "Escape did not close the open dialog"

# Ctrl+X in the percentages window: the main menu's shortcut works there
# too, and the program ends on its own, with status 0.
xdotool windowactivate --sync "$procent" || fail "cannot activate the percentages window"
xdotool key --clearmodifiers ctrl+x
until_ok 15 sh -c "! kill -0 $duvo_pid" || fail "Ctrl+X in the percentages window did not end the program within 15 s"
wait "$duvo_pid"
status=$?
duvo_pid=""
[ "$status" -eq 0 ] || fail "the program ended with status $status"

echo "PASS: frames at 50,50 (528 x 464), 300,251 (281 x 169) and 400,20 within the screen, Polish open dialog, no-button hints, no minimise or maximise for the side dialog, progress window and error box, Alt+F4 ignored, progress window painted during the loop with a busy core once a slow manager showed it, not held up by a stalled one, minimised modal windows brought back by a click and an activation, Ctrl+O from the result window, Ctrl+X from the percentages window ended with status 0"
