#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds, prepares a
# private Wine prefix with a printer, adds a checksum port, prints the sample
# PostScript document through it, and shows the monitor's "Checksum: N"
# message, the checksum record in the registry and the same N computed by
# vardlet-sum. Running it again skips the set-up it already has.
#
#   bash demo/run.sh [FILE]     (FILE defaults to demo/sample.ps)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# A file of the user's is named from where the command was given.
file=${1:-}
if [ -n "$file" ]; then
  [ -f "$file" ] || { echo "demo: $file: no such file" >&2; exit 2; }
  file=$(readlink -f "$file")
fi
cd "$root"
file=${file:-demo/sample.ps}
demo=$root/build/demo
port='DEMO1:'
printer='Demo Printer'
monitor_root='SYSTEM\CurrentControlSet\Control\Print\Monitors\Vardlet Demo'

step() { printf '\n== %s\n' "$*"; }

step "Packages"
if [ "$(id -u)" -eq 0 ]; then bash .ci/install-deps.sh; else sudo bash .ci/install-deps.sh; fi

step "Build (vardlet.dll, vardlet-spool.exe, vardlet-sum)"
[ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
cmake --build --preset win64 --target vardlet vardlet-spool -- -j2 | tail -n 1
[ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
cmake --build --preset native --target vardlet-sum -- -j2 | tail -n 1

. cmake/wine-env.sh
loader=$(wine_find_loader)
export WINEPREFIX=$demo/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$loader" in *64) export WINELOADER="$loader" ;; esac
unset DISPLAY  # console programs only; no window is shown

step "Wine prefix $WINEPREFIX"
mkdir -p "$demo"
if [ -f "$WINEPREFIX/system.reg" ]; then
  echo "already prepared"
else
  "$loader" wineboot.exe -i </dev/null >"$demo/wineboot.log" 2>&1
  echo "created"
fi

spool() {
  "$loader" build/win64/bin/vardlet-spool.exe --root "$monitor_root" "$@"
}
dos_path() { printf 'Z:%s' "$(readlink -f "$1")" | tr / '\\'; }

step "Printer \"$printer\" (its own output goes to $demo/printer.prn)"
spool --quiet add-printer "$printer" --output "$demo/printer.prn"

step "Checksum port $port"
if spool --quiet ports 2>/dev/null | tr -d '\r' | grep -qx "$port"; then
  echo "already there"
else
  spool add-port "$port"
fi
spool --quiet ports

step "Printing $file through $port"
spool print "$(dos_path "$file")" --port "$port" --printer "$printer" --document "$(basename "$file")" \
  2>&1 | tr -d '\r' | tee "$demo/print.log"

step "The same file through vardlet-sum (no spooler)"
build/native/tools/vardlet-sum/vardlet-sum --report "$file" | tee "$demo/sum.log"

step "Result"
recorded=$(sed -n 's/.*LastChecksum = \([0-9]*\).*/\1/p' "$demo/print.log")
said=$(sed -n 's/.*monitor said: Checksum: \([0-9]*\).*/\1/p' "$demo/print.log")
computed=$(head -n 1 "$demo/sum.log" | cut -d' ' -f1)
echo "monitor's message: $said, registry record: $recorded, vardlet-sum: $computed"
if [ -n "$said" ] && [ "$said" = "$recorded" ] && [ "$said" = "$computed" ]; then
  echo "all three agree"
else
  echo "they differ" >&2
  exit 1
fi
