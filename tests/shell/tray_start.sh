#!/bin/sh
# Under a real X display with a notification area (trayer): with the start-in-
# tray marker the program starts hidden with only its tray icon; without it the
# window is shown. Then the window tests that need X and a tray that comes and
# goes. Usage: tray_start.sh PATH-TO-picsifter PATH-TO-shell_tests
set -eu
program=$1
tests=$2
for tool in xvfb-run trayer xwininfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

if [ -z "${INSIDE_XVFB:-}" ]; then
  INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

trayer --edge top --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 &
tray=$!
work=$(mktemp -d)
trap 'kill $tray 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 1

# The widths of the viewable top-level windows of the program (the window is
# "Picsifter", its tray icon "picsifter").
viewable_widths() {
  xwininfo -root -tree | sed -n 's/^ *\(0x[0-9a-f]*\) "[Pp]icsifter".*/\1/p' | while read -r id; do
    info=$(xwininfo -id "$id")
    echo "$info" | grep -q "Map State: IsViewable" && echo "$info" | sed -n 's/^ *Width: //p'
  done
}

start() {  # start MARKER: runs the program over a data folder of its own
  home="$work/$1"
  mkdir -p "$home/Psf"
  if [ "$1" = marker ]; then printf '"1"\r\n' > "$home/Psf/pref1.txt"; fi
  XDG_DATA_HOME="$home" QT_QPA_PLATFORM=xcb "$program" >/dev/null 2>&1 &
  pid=$!
  i=0
  while [ ! -e "$home/Psf/picsifter.lock" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  sleep 1.5
}

fail=0
start marker
widths=$(viewable_widths | tr '\n' ' ')
case " $widths" in
  *" 677 "*) echo "FAIL: with the marker the window is shown ($widths)"; fail=1 ;;
esac
# The tray icon is a small viewable window of the program inside the tray.
icon=$(viewable_widths | awk '$1 <= 64' | head -1)
[ -n "$icon" ] || { echo "FAIL: no tray icon ($widths)"; fail=1; }
kill -TERM $pid; wait $pid || { echo "FAIL: exit status $? on SIGTERM"; fail=1; }

start plain
widths=$(viewable_widths | tr '\n' ' ')
case " $widths" in
  *" 677 "*) ;;
  *) echo "FAIL: without the marker the window is not shown ($widths)"; fail=1 ;;
esac
kill -TERM $pid; wait $pid || { echo "FAIL: exit status $? on SIGTERM"; fail=1; }

[ $fail -eq 0 ] && echo "ok: hidden in the tray with the marker, shown without it"

kill $tray; wait $tray 2>/dev/null || true  # the tests start their own
QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='RealDisplay.*' || fail=1
exit $fail
