#!/usr/bin/env bash
# The main job, end to end through the real spooler (Wine's): installs what is
# missing, builds, prepares a private Wine prefix, installs the monitor with
# vardlet-spool install (AddMonitorW), adds the checksum port DEMO1: and a
# printer on it, then prints
#   1. demo/sample.ps (or FILE) as a RAW job from a program (StartDocPrinterW,
#      WritePrinter, EndDocPrinter), and
#   2. one page of text through GDI and Wine's PostScript driver,
# and for each job shows the monitor's "Checksum: N" message, the checksum
# record in the registry and the same N computed by vardlet-sum from the
# bytes the port received (DEMO1: passes every job through to a file
# printer, "Demo Copy", so those bytes can be read back). Running it again
# skips the set-up it already has.
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
copy_printer='Demo Copy'
page_text='vardlet demo page: the same page gives the same checksum'

step() { printf '\n== %s\n' "$*"; }

step "Packages"
if [ "$(id -u)" -eq 0 ]; then bash .ci/install-deps.sh; else sudo bash .ci/install-deps.sh; fi

step "Build (vardlet.dll, vardletmon.dll, vardlet-spool.exe, vardlet-sum)"
[ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
cmake --build --preset win64 --target vardlet vardletmon vardlet-spool -- -j2 | tail -n 1
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

spool() { "$loader" build/win64/bin/vardlet-spool.exe "$@" 2>&1 | tr -d '\r'; }
dos_path() { printf 'Z:%s' "$(readlink -f "$1")" | tr / '\\'; }

step "Installing the monitor (copy to the system folder, AddMonitorW)"
spool --quiet install

step "Printer \"$copy_printer\": a file printer that receives what $port passes through"
spool --quiet add-printer "$copy_printer" --output "$demo/copy.prn"

step "Checksum port $port, passing every job through to \"$copy_printer\""
if spool --quiet ports | grep -qx "$port"; then
  echo "already there"
else
  spool add-port "$port" --pass-through "$copy_printer"
fi

step "Printer \"$printer\" on $port (Wine's PostScript driver)"
spool --quiet add-printer "$printer" --output "$port"

# One job: prints it with COMMAND..., then compares the monitor's message,
# the record and vardlet-sum over the bytes the port passed through.
job() {
  local name=$1 log=$demo/$2.log
  shift 2
  step "$name"
  "$@" | tee "$log"
  [ -s "$demo/copy.prn" ] || { echo "demo: nothing was passed through to $demo/copy.prn" >&2; exit 1; }
  cp "$demo/copy.prn" "${log%.log}.prn"
  local said recorded computed sum
  sum=$(build/native/tools/vardlet-sum/vardlet-sum --report "${log%.log}.prn")
  echo "$sum"
  said=$(sed -n 's/.*monitor said: Checksum: \([0-9]*\).*/\1/p' "$log")
  recorded=$(sed -n 's/.*LastChecksum = \([0-9]*\).*/\1/p' "$log")
  computed=$(echo "$sum" | head -n 1 | cut -d' ' -f1)
  echo "monitor's message: $said, registry record: $recorded, vardlet-sum: $computed"
  if [ -n "$said" ] && [ "$said" = "$recorded" ] && [ "$said" = "$computed" ]; then
    echo "all three agree"
  else
    echo "they differ" >&2
    exit 1
  fi
}

job "RAW job: $file from a program, through the spooler" raw \
  spool print-job "$(dos_path "$file")" --printer "$printer" --document "$(basename "$file")"
cmp -s "$file" "$demo/raw.prn" && echo "the pass-through copy is byte for byte the file"
job "One page through GDI and the PostScript driver" page \
  spool print-page "$page_text" --printer "$printer" --document "demo page"
