#!/bin/sh
# Under a real X display with a window manager (openbox) and a notification
# area (trayer): with the start-in-tray marker the program starts hidden with
# only its tray icon; without it the window is shown. Then the window tests
# that need X: a tray that comes and goes, and the mouse and keys (xdotool) on
# the menus and the icon. Usage: tray_start.sh PATH-TO-picsifter PATH-TO-shell_tests
set -eu
program=$1
tests=$2
for tool in xvfb-run openbox trayer xwininfo xprop xdotool; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

if [ -z "${INSIDE_XVFB:-}" ]; then
  # -a alone starts every run at display 99: two runs at once can race for it.
  INSIDE_XVFB=1 exec xvfb-run -a -n $(($$ % 400 + 100)) -s "-screen 0 1024x768x24" "$0" "$@"
fi

openbox >/dev/null 2>&1 &
wm=$!
trayer --edge top --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 &
tray=$!
work=$(mktemp -d)
trap 'kill $tray $wm 2>/dev/null || true; rm -rf "$work"' EXIT

within() {  # within TENTHS COMMAND...: polls COMMAND until it succeeds
  n=$1
  shift
  while ! "$@"; do
    [ "$n" -gt 0 ] || return 1
    n=$((n - 1))
    sleep 0.1
  done
}
tray_up() { xwininfo -root -tree | grep -q '"panel"'; }
wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
within 300 tray_up || { echo "FAIL: trayer did not start"; exit 1; }
within 300 wm_up || { echo "FAIL: openbox did not start"; exit 1; }

# The widths of the viewable top-level windows of the program (the window is
# "Picsifter", its tray icon "picsifter").
viewable_widths() {
  xwininfo -root -tree | sed -n 's/^ *\(0x[0-9a-f]*\) "[Pp]icsifter".*/\1/p' | while read -r id; do
    info=$(xwininfo -id "$id")
    echo "$info" | grep -q "Map State: IsViewable" && echo "$info" | sed -n 's/^ *Width: //p'
  done
}

icon_shown() { [ -n "$(viewable_widths | awk '$1 <= 64')" ]; }
window_shown() { viewable_widths | grep -qx 677; }

start() {  # start MARKER: runs the program over a data folder of its own
  home="$work/$1"
  mkdir -p "$home/Psf"
  if [ "$1" = marker ]; then printf '"1"\r\n' > "$home/Psf/pref1.txt"; fi
  XDG_DATA_HOME="$home" QT_QPA_PLATFORM=xcb "$program" >/dev/null 2>&1 &
  pid=$!
}

fail=0
# The tray icon is a small viewable window of the program inside the tray; a
# window shown at start is mapped before the tray takes the icon in.
start marker
within 300 icon_shown || { echo "FAIL: no tray icon"; fail=1; }
! window_shown || { echo "FAIL: with the marker the window is shown"; fail=1; }
kill -TERM $pid; wait $pid || { echo "FAIL: exit status $? on SIGTERM"; fail=1; }

start plain
within 300 window_shown || { echo "FAIL: without the marker the window is not shown"; fail=1; }
kill -TERM $pid; wait $pid || { echo "FAIL: exit status $? on SIGTERM"; fail=1; }

[ $fail -eq 0 ] && echo "ok: hidden in the tray with the marker, shown without it"

kill $tray; wait $tray 2>/dev/null || true  # the tests start their own
QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='RealDisplay.*' || fail=1
exit $fail
