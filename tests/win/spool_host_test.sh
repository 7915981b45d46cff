#!/usr/bin/env bash
# vardlet-spool and vardlet-sum from the command line, under Wine, in the
# prefix of the wine.prefix fixture: the port commands, printing through a
# port on the fixture's printers, the failures and their exit codes, and
# vardlet-sum giving the checksum the monitor gives, write size by write size.
#
#   spool_host_test.sh EMULATOR BIN_DIR PRINTER_OUTPUT_DIR [NATIVE_VARDLET_SUM]
#
# EMULATOR runs a Windows program (cmake/wine-run.sh); BIN_DIR holds
# vardlet-spool.exe, vardlet-sum.exe and vardlet.dll; PRINTER_OUTPUT_DIR is
# where the fixture's file printers write their jobs. NATIVE_VARDLET_SUM, if
# it exists, is compared as well.
set -u
# Wine decodes the command line in the locale's character set; names beyond
# ASCII below need UTF-8 whatever locale CTest runs in.
export LC_ALL=C.UTF-8
emulator=$1
bin=$2
printer_out=$3
native_sum=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"  # Wine maps it to a Z: path, so relative file names work as they are
passed=0 failed=0

# A registry root of this run's own: the port list starts empty.
root="SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet Host Test $$"
records_key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Checksums'

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"; fi
}

check_match() {  # check_match NAME EXTENDED_REGEX ACTUAL
  if [[ "$3" =~ $2 ]]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  expected to match: %s\n  actual: %q\n' "$1" "$2" "$3"; fi
}

# win PROGRAM ARGS...: runs a Windows program of BIN_DIR; sets $status, $out
# and $err (the console's CR LF line ends turned into LF).
win() {
  local program=$1
  shift
  "$emulator" "$bin/$program" "$@" > stdout 2> stderr
  status=$?
  out=$(tr -d '\r' < stdout)
  err=$(tr -d '\r' < stderr)
}
spool() { win vardlet-spool.exe --root "$root" "$@"; }

# The error line of a failed step: its name, the Win32 code and the system's
# text for it (some text, not a stand-in for a missing one).
failed_step() {  # failed_step STEP CODE
  local step=$1
  step=${step//\\/\\\\}; step=${step//(/\\(}; step=${step//)/\\)}; step=${step//./\\.}
  printf '^vardlet-spool: %s failed: error %s: [A-Za-z].*[^ ]$' "$step" "$2"
}

# ---- The port list: empty root, add, duplicate, delete.
spool ports
check "ports on an empty root" "0||vardlet-spool: no ports under HKEY_LOCAL_MACHINE\\$root" \
  "$status|$out|$err"

spool add-port 'HT1:'
check "add-port" "0|port HT1: added" "$status|$out"
spool add-port 'HT-PASS:' --pass-through 'Pass Target'
check "add-port with pass-through" "0|port HT-PASS: added, passing jobs through to Pass Target" \
  "$status|$out"
# A pass-through printer that does not exist.
spool --quiet add-port 'HT-GONE:' --pass-through 'No Such Printer'
spool ports
check "the new ports are listed" "0|$(printf 'HT-GONE:\nHT-PASS:\nHT1:')" "$status|$(sort <<< "$out")"

# Port names compare without regard to case: this is the same port.
spool add-port 'ht1:'
check "duplicate add-port fails" "1|" "$status|$out"
check_match "duplicate add-port names AddPortExW and 183" "$(failed_step 'AddPortExW("ht1:")' 183)" "$err"

# ---- A job through the port on "Laser 1". The document name has
# backslashes, which the record keeps as slashes in one key level, and
# characters beyond Latin-1, which the output keeps (as UTF-8 in a pipe).
printf 'abc' > abc.txt
document='C:\docs\Prüfseite – März 日本.txt'
recorded_document='C:/docs/Prüfseite – März 日本.txt'
rm -f "$printer_out/laser1.prn"
spool print abc.txt --port 'HT1:' --printer 'Laser 1' --document "$document"
check "print" "0|abc.txt: 3 bytes in 1 writes of up to 4096
  monitor said: Checksum: 32566245
  record: $records_key\\Laser 1\\$recorded_document\\LastChecksum = 32566245 (0x01F0EBE5)" "$status|$out"
check "print shows the monitor's debugger output" "[vardlet debug] Checksum: 32566245" "$err"
# The host's own job on the printer is removed, never sent to its port.
check "the job printer's port receives nothing" "" "$(cat "$printer_out/laser1.prn" 2>/dev/null)"

spool records 'Laser 1'
check_match "records lists the job" $'(^|\n)Laser 1 +'"$recorded_document"$' +32566245(\n|$)' "$out"

# ---- Print failures: each names the failing step, exit status 1, no record.
spool print abc.txt --port 'NOPE:' --printer 'Laser 1'
check "print, unknown port" "1|" "$status|$out"
check_match "unknown port names OpenPort and 1796" "$(failed_step 'OpenPort("NOPE:")' 1796)" "$err"

spool print abc.txt --port 'HT1:' --printer 'No Such Printer'
check "print, unknown printer" "1|" "$status|$out"
check_match "unknown printer names OpenPrinterW and 1801" \
  "$(failed_step 'OpenPrinterW("No Such Printer")' 1801)" "$err"

spool print missing.txt --port 'HT1:' --printer 'Laser 1'
check "print, missing file" "1|" "$status|$out"
check_match "missing file names the file and error 2" "$(failed_step 'opening missing.txt' 2)" "$err"

# StartDocPort passes on the error of OpenPrinterW for a missing pass-through
# printer.
spool print abc.txt --port 'HT-GONE:' --printer 'Laser 1'
check "print, missing pass-through printer" "1|" "$status|$out"
check_match "missing pass-through printer names StartDocPort and 1801" \
  "$(failed_step StartDocPort 1801)" "$(grep -v '^\[vardlet debug\]' <<< "$err")"
check "the monitor names the failed call" \
  "[vardlet debug] CChecksumPort::StartDocPort(): OpenPrinter of the pass-through printer failed." \
  "$(grep '^\[vardlet debug\]' <<< "$err")"

# ---- Wrong command lines: exit status 2, nothing done.
for args in '' '--bogus ports' 'add-port A: B:' 'print abc.txt --port HT1: --printer x --write-size 0'; do
  # shellcheck disable=SC2086  # the words are the arguments
  spool $args
  check "wrong command line: '$args'" "2|" "$status|$out"
done

# ---- Deleting: the port is gone, a second delete fails.
spool delete-port 'HT1:'
check "delete-port" "0|port HT1: deleted" "$status|$out"
spool ports
check "the deleted port is not listed" "0|$(printf 'HT-GONE:\nHT-PASS:')" "$status|$(sort <<< "$out")"
spool delete-port 'HT1:'
check "delete-port of a deleted port" "1|" "$status|$out"
check_match "delete of a deleted port names DeletePortW and 1796" \
  "$(failed_step 'DeletePortW("HT1:")' 1796)" "$err"

# ---- vardlet-sum gives the DLL's checksum, for every write size, and the
# port passes each job through unchanged. One file name goes beyond the ANSI
# code page, which Windows programs must not rely on.
plain='plain März 日本.txt'
printf 'Plain text, 100%% not PostScript: (a%%b) \\) and a line\r\nwith CR LF.\n' > "$plain"
for i in $(seq 80); do printf 'line %d %% of (nothing)\n' "$i"; done >> "$plain"
printf '%%!PS-Adobe-3.0\n(a%%b) show\n' > small.ps
{
  printf '%%!PS-Adobe-3.0\n%%%%Title: host test\n%%%%CreationDate: today\n'
  printf '/Helvetica findfont 12 scalefont setfont %% a comment\n'
  printf '72 700 moveto (100%% (nested) \\) escaped) show\n'
  printf '%% a comment ended by CR alone\r still a comment\n(after) show\n'
  printf '%%%% form feed ends this\f(page 2) show showpage\n'
} > job.ps
# A job the way many drivers send it: a printer-language prefix first, so the
# header is not in the first bytes and small writes split it.
{
  printf '\033%%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = POSTSCRIPT\r\n'
  cat job.ps
  printf '\033%%-12345X'
} > pjl.ps
# Every byte value (zero, CR LF and Ctrl-Z among them), then a header after
# zero bytes, which cut the carried tail that finds a header split by writes.
all_bytes() { local i; for i in $(seq 0 255); do printf "\\$(printf '%03o' "$i")"; done; }
all_bytes > bytes.bin
for i in $(seq 40); do cat bytes.bin; done > binary.bin  # 10240 bytes
printf '\0\0%%!PS-Adobe\n%%x\n(\0)' >> binary.bin
# binary.bin goes last: the pass-through printer's file keeps only the last job.
files=("$plain" small.ps job.ps pjl.ps binary.bin)

if [ -x "$native_sum" ]; then have_native=1
else have_native=0; echo "note: no native vardlet-sum at '${native_sum}'; comparing with vardlet-sum.exe only"; fi

for size in 1 5 7 4096 65536; do
  rm -f "$printer_out/pass-target.prn"
  spool --quiet print "${files[@]}" --port 'HT-PASS:' --printer 'Laser 1' --write-size "$size"
  check "print at write size $size" 0 "$status"
  print_out=$out
  if cmp -s binary.bin "$printer_out/pass-target.prn"; then passed=$((passed + 1))
  else failed=$((failed + 1)); echo "FAIL at write size $size the pass-through printer's output is not the job"
    cmp binary.bin "$printer_out/pass-target.prn"; fi
  win vardlet-sum.exe --write-size "$size" "${files[@]}"
  check "vardlet-sum.exe at write size $size" 0 "$status"
  exe_out=$out
  native_out=
  if [ $have_native -eq 1 ]; then
    native_out=$("$native_sum" --write-size "$size" "${files[@]}")
  fi
  for file in "${files[@]}"; do
    bytes=$(wc -c < "$file")
    writes=$(( (bytes + size - 1) / size ))
    block=$(grep -A2 -F "$file: " <<< "$print_out")
    said=$(sed -n 's/^  monitor said: Checksum: \([0-9]\+\)$/\1/p' <<< "$block")
    said=${said:-"(no checksum message)"}
    recorded=$(sed -n 's/.*\\LastChecksum = \([0-9]*\) (0x.*/\1/p' <<< "$block")
    check "$file at $size: whole file in writes of $size" "$file: $bytes bytes in $writes writes of up to $size" \
      "$(head -n 1 <<< "$block")"
    check "$file at $size: record = message" "$said" "$recorded"
    check "$file at $size: vardlet-sum.exe = DLL" "$said $bytes $file" "$(grep -F " $file" <<< "$exe_out")"
    if [ $have_native -eq 1 ]; then
      check "$file at $size: native vardlet-sum = DLL" "$said $bytes $file" "$(grep -F " $file" <<< "$native_out")"
    fi
    case "$file:$size" in
      small.ps:5) check "small.ps at 5: header split, read as plain data" 1246335795 "$said" ;;
      small.ps:4096) check "small.ps at 4096: comments left out" 3750054803 "$said" ;;
    esac
  done
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
