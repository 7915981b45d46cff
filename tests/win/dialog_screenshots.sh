#!/bin/bash
# PNG pictures of the dialogs of vardlet.dll and vardletui.dll, for people:
#   dialog_screenshots.sh OUT_DIR EMULATOR DIALOG_TEST_EXE SPOOLER_TEST_EXE
# The dialog tests, run by it, print "SCREENSHOT <name> <X window id>
# <left> <top> <width> <height>" when a dialog is ready and waits for
# OUT_DIR/<name>.done; this grabs the window (or that part of the screen) into
# OUT_DIR/<name>.png, then creates the .done file. Needs DISPLAY and WINEPREFIX.
set -euo pipefail

out=$1
emulator=$2
mkdir -p "$out"
rm -f "$out"/*.done
export VARDLET_SCREENSHOT_DIR="Z:${out//\//\\}"

shots=0
shoot() {  # shoot PROGRAM GTEST_FILTER
  local line name xid left top width height
  while IFS= read -r line; do
    printf '%s\n' "$line"
    line=${line%$'\r'}
    [[ "$line" == "SCREENSHOT "* ]] || continue
    read -r _ name xid left top width height <<<"$line"
    if [ "$xid" != 0x0 ]; then
      import -display "$DISPLAY" -window "$xid" "$out/$name.png"
    else
      import -display "$DISPLAY" -window root -crop "${width}x${height}+${left}+${top}" +repage "$out/$name.png"
    fi
    : >"$out/$name.done"
    echo "screenshot: $out/$name.png ($(identify -format '%wx%h' "$out/$name.png"))"
    shots=$((shots + 1))
  done < <("$emulator" "$1" --gtest_color=no --gtest_filter="$2")
  wait $! # the test program's exit status
}
shoot "$3" 'Dialogs.PortNameAddsTheTypedName:Dialogs.SettingsShowAndStore'
shoot "$4" MonitorUi.AddPortAndConfigurePortPlayTheDialogs

rm -f "$out"/*.done
if [ "$shots" -ne 4 ]; then
  echo "dialog_screenshots: expected 4 screenshots, took $shots" >&2
  exit 1
fi
