#!/bin/bash
# Takes PNG pictures of both dialogs of the monitor, as dialog_test shows them
# with some text typed and the check box ticked, for people to look at.
#
#   dialog_screenshots.sh OUT_DIR EMULATOR... DIALOG_TEST_EXE
#
# Runs the Screenshots test of dialog_test (or the GoogleTest filter in
# VARDLET_SCREENSHOT_TEST, for spooler_test's pictures of the UI DLL's
# dialogs). Each time a dialog is ready, the test prints "SCREENSHOT <name> <X window id> <left> <top> <width> <height>"
# and waits for OUT_DIR/<name>.done; this script grabs that window (or that
# part of the screen, if Wine named no X window) into OUT_DIR/<name>.png and
# creates the .done file. Needs DISPLAY and WINEPREFIX (CTest sets both).
set -euo pipefail

out=$1
shift
mkdir -p "$out"
rm -f "$out"/*.done
export VARDLET_SCREENSHOT_DIR="Z:${out//\//\\}"

shots=0
while IFS= read -r line; do
  printf '%s\n' "$line"
  line=${line%$'\r'}
  case "$line" in
    "SCREENSHOT "*)
      read -r _ name xid left top width height <<<"$line"
      if [ "$xid" != 0x0 ]; then
        import -display "$DISPLAY" -window "$xid" "$out/$name.png"
      else
        import -display "$DISPLAY" -window root -crop "${width}x${height}+${left}+${top}" +repage \
          "$out/$name.png"
      fi
      : >"$out/$name.done"
      echo "screenshot: $out/$name.png ($(identify -format '%wx%h' "$out/$name.png"))"
      shots=$((shots + 1))
      ;;
  esac
done < <("$@" --gtest_color=no --gtest_filter="${VARDLET_SCREENSHOT_TEST:-Dialogs.Screenshots}")
wait $! # the test program's exit status

rm -f "$out"/*.done
if [ "$shots" -ne 2 ]; then
  echo "dialog_screenshots: expected 2 screenshots, took $shots" >&2
  exit 1
fi
