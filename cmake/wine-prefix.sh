#!/bin/sh
# The wine.prefix CTest fixture of the Windows presets.
#
#   wine-prefix.sh start WINE_DIR ARCH SPOOL_EXE   (fixture setup)
#   wine-prefix.sh stop  WINE_DIR                  (fixture cleanup)
#
# start makes a fresh prefix in WINE_DIR/prefix for this test run, starts Xvfb
# on $DISPLAY (dialog tests need a display), leaves a persistent wineserver
# running, sets the Wine options the tests need and lets SPOOL_EXE
# (vardlet-spool.exe add-printer) add the printers the tests print on. stop
# ends that wineserver, with every Wine process of the prefix, and the Xvfb
# that start began.
#
# Every Wine call here sends its output to WINE_DIR/fixture.log, never to the
# pipe CTest reads: a Wine process that inherits that pipe keeps CTest waiting
# until the process ends.
set -eu

here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
. "$here/wine-env.sh"

usage() {
  echo "usage: $0 start WINE_DIR ARCH SPOOL_EXE | stop WINE_DIR" >&2
  exit 2
}

[ $# -ge 2 ] || usage
action=$1
dir=$2
prefix=$dir/prefix
log=$dir/fixture.log

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
loader=$(wine_find_loader)
server=$(wine_find_server)
case "$loader" in
  *64) export WINELOADER="$loader" ;;
esac

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
secs() { awk -v ms="$1" 'BEGIN { printf "%.2f", ms / 1000 }'; }

display_number() {
  n=${DISPLAY#*:}
  echo "${n%%.*}"
}

stop_server() {
  # Only this prefix's server: wineserver -k acts on $WINEPREFIX.
  if [ -d "$prefix" ]; then
    "$server" -k >/dev/null 2>&1 || true
    "$server" -w >/dev/null 2>&1 || true
  fi
}

stop_xvfb() {
  [ -f "$dir/xvfb.pid" ] || return 0
  pid=$(cat "$dir/xvfb.pid")
  rm -f "$dir/xvfb.pid"
  if [ -n "$pid" ] && grep -q Xvfb "/proc/$pid/cmdline" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  fi
}

start_xvfb() {
  n=$(display_number)
  lock=/tmp/.X$n-lock
  if [ -e "$lock" ]; then
    owner=$(tr -dc 0-9 < "$lock" 2>/dev/null || true)
    if [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null; then
      echo "wine-prefix: display :$n is taken by process $owner; configure with" \
           "-DVARDLET_TEST_DISPLAY=:<free number>" >&2
      exit 1
    fi
  fi
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >"$dir/xvfb.log" 2>&1 &
  echo $! > "$dir/xvfb.pid"
  i=0
  while [ ! -S "/tmp/.X11-unix/X$n" ]; do
    if ! kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null || [ $i -ge 100 ]; then
      echo "wine-prefix: Xvfb did not start on :$n:" >&2
      cat "$dir/xvfb.log" >&2
      exit 1
    fi
    sleep 0.1
    i=$((i + 1))
  done
}

wine_quiet() {
  "$loader" "$@" </dev/null >>"$log" 2>&1
}

# The Wine options of the tests: no window-manager wait of about 2 s whenever
# a dialog closes (unmanaged windows), no crash dialog (a crashing test ends
# at once). Then the printers of tests/win/support/test_printers.h: three
# whose jobs go to files in WINE_DIR/out, and "Dead End", whose port leads
# nowhere, so that its EndDocPrinter fails. add-printer keeps what is there.
prepare_prefix() {
  printf '%s\n' 'REGEDIT4' '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' \
    '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' '"ShowCrashDialog"=dword:00000000' >"$dir/options.reg"
  wine_quiet regedit.exe /S "Z:$(printf '%s' "$dir/options.reg" | tr / '\\')" || return 1
  for printer in "Laser 1|$dir/out/laser1.prn" "Laser 2|$dir/out/laser2.prn" \
    "Pass Target|$dir/out/pass-target.prn" "Dead End|LPT3:"; do
    wine_quiet "$spool" add-printer "${printer%%|*}" --output "${printer#*|}" || return 1
  done
}

case "$action" in
  start)
    [ $# -eq 4 ] || usage
    arch=$3
    spool=$4
    : "${DISPLAY:?wine-prefix: DISPLAY is not set}"

    if [ "$arch" = i686 ]; then
      reason=$(wine32_unusable_reason)
      if [ -n "$reason" ]; then
        echo "wine-prefix: 32-bit tests cannot run here: $reason" >&2
        exit 1
      fi
    fi

    t0=$(now_ms)
    # Leftovers of an earlier run in this build folder go first.
    stop_server
    stop_xvfb
    rm -rf "$prefix" "$dir/out"
    mkdir -p "$dir/out"
    : > "$log"

    start_xvfb
    t1=$(now_ms)

    wine_quiet wineboot.exe -i
    t2=$(now_ms)

    # A persistent server started here, with its stdio away from CTest, serves
    # every test of the run; each test would otherwise start its own.
    "$server" -k >/dev/null 2>&1 || true
    "$server" -w >/dev/null 2>&1 || true
    "$server" -p </dev/null >/dev/null 2>&1
    # Start the prefix's services now, under the new server, and wait for
    # them: on a busy machine the spooler calls of the setup program can
    # otherwise come before the RPC service is up (error 1722).
    wine_quiet wineboot.exe
    t3=$(now_ms)

    attempt=1
    until prepare_prefix; do
      if [ $attempt -ge 3 ]; then
        echo "wine-prefix: setting up the printers failed:" >&2
        cat "$log" >&2
        exit 1
      fi
      attempt=$((attempt + 1))
      echo "wine-prefix: printer setup failed, attempt $attempt" >>"$log"
      sleep 2
    done
    t4=$(now_ms)

    times="prefix $prefix: xvfb $(secs $((t1 - t0))) s, wineboot $(secs $((t2 - t1))) s,"
    times="$times server $(secs $((t3 - t2))) s, printers $(secs $((t4 - t3))) s,"
    times="$times total $(secs $((t4 - t0))) s"
    echo "$times" | tee "$dir/fixture-times.txt"
    grep -E '^printer' "$log" || true
    ;;
  stop)
    stop_server
    stop_xvfb
    echo "prefix $prefix: stopped"
    ;;
  *)
    usage
    ;;
esac
