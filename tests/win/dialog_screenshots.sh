#!/bin/bash
# dialog_screenshots.sh OUT_DIR EMULATOR DIALOG_TEST_EXE SPOOLER_TEST_EXE (needs DISPLAY, WINEPREFIX): PNG
# pictures of the dialogs. Each test prints "SCREENSHOT <name> <X window id> <left> <top> <width> <height>"
# when its dialog is ready, then waits for OUT_DIR/<name>.done; the picture is that part of the screen.
set -euo pipefail
out=$1 emulator=$2
mkdir -p "$out"
rm -f "$out"/*.done "$out"/*.png
export VARDLET_SCREENSHOT_DIR="Z:${out//\//\\}"
shoot() {  # shoot PROGRAM GTEST_FILTER
  local line tag name xid left top width height
  while IFS= read -r line; do
    printf '%s\n' "$line"
    read -r tag name xid left top width height <<<"${line%$'\r'}"
    [ "$tag" == SCREENSHOT ] || continue
    import -display "$DISPLAY" -window root -crop "${width}x${height}+${left}+${top}" +repage "$out/$name.png"
    : >"$out/$name.done"
  done < <("$emulator" "$1" --gtest_color=no --gtest_filter="$2")
  wait $! # the test program's exit status
}
shoot "$3" 'Dialogs.PortNameAddsTheTypedName:Dialogs.SettingsShowAndStore'
shoot "$4" MonitorUi.AddPortAndConfigurePortPlayTheDialogs
rm -f "$out"/*.done
shots=("$out"/*.png)
[ ${#shots[@]} -eq 4 ] || { echo "dialog_screenshots: expected 4 screenshots, took ${#shots[@]}" >&2; exit 1; }
