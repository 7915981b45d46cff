#!/usr/bin/env bash
# vardlet-spool and vardlet-sum under Wine, in the wine.prefix fixture's prefix:
# the port commands, printing on the fixture's printers, failures and exit
# codes, records saved and checked, and vardlet-sum agreeing with the monitor.
#
#   spool_host_test.sh EMULATOR BIN_DIR PRINTER_OUTPUT_DIR [NATIVE_VARDLET_SUM]
#
# EMULATOR is cmake/wine-run.sh; PRINTER_OUTPUT_DIR is where the file printers
# write; NATIVE_VARDLET_SUM, if it exists, is compared as well.
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

# A registry root of this run's own: the port list starts empty.
root="SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet Host Test $$"
records_key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Checksums'
passed=0 failed=0

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"; fi
}

check_match() {  # check_match NAME EXTENDED_REGEX ACTUAL
  if [[ "$3" =~ $2 ]]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  expected to match: %s\n  actual: %q\n' "$1" "$2" "$3"; fi
}

# win PROGRAM ARGS...: runs a Windows program of $bin; sets $status, $out
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

# expect "STATUS|STDOUT" ARGS...: vardlet-spool with ARGS must end so.
expect() {
  local expected=$1
  shift
  spool "$@"
  check "$*" "$expected" "$status|$out"
}

# refused STEP CODE ARGS...: vardlet-spool with ARGS fails with status 1,
# nothing on stdout, and an error line naming the step, the Win32 code and
# the system's text for it (some text, not a stand-in for a missing one).
refused() {
  local step=$1 code=$2
  shift 2
  expect "1|" "$@"
  step=${step//\\/\\\\}; step=${step//(/\\(}; step=${step//)/\\)}; step=${step//./\\.}
  check_match "$* names $1 and $code" "^vardlet-spool: $step failed: error $code: [A-Za-z].*[^ ]$" \
    "$(grep -v '^\[vardlet debug\]' <<< "$err")"
}

# ---- The port list; port names compare without regard to case.
expect "0|" ports
check "ports on an empty root" "vardlet-spool: no ports under HKEY_LOCAL_MACHINE\\$root" "$err"
expect "0|port HT1: added" add-port 'HT1:'
expect "0|port HT-PASS: added, passing jobs through to Pass Target" add-port 'HT-PASS:' --pass-through 'Pass Target'
spool --quiet add-port 'HT-GONE:' --pass-through 'No Such Printer'
spool ports
check "the new ports are listed" "0|$(printf 'HT-GONE:\nHT-PASS:\nHT1:')" "$status|$(sort <<< "$out")"
refused 'AddPortExW("ht1:")' 183 add-port 'ht1:'

# ---- A job through the port on "Laser 1". The document name has
# backslashes, which the record keeps as slashes in one key level, and
# characters beyond Latin-1, which the output keeps (as UTF-8 in a pipe).
# The host's own job on the printer is removed, never sent to its port.
printf 'abc' > abc.txt
rm -f "$printer_out/laser1.prn"
expect "0|abc.txt: 3 bytes in 1 writes of up to 4096
  monitor said: Checksum: 32566245
  record: $records_key\\Laser 1\\C:/docs/Prüfseite – März 日本.txt\\LastChecksum = 32566245 (0x01F0EBE5)" \
  print abc.txt --port 'HT1:' --printer 'Laser 1' --document 'C:\docs\Prüfseite – März 日本.txt'
check "print shows the monitor's debugger output" "[vardlet debug] Checksum: 32566245" "$err"
check "the job printer's port receives nothing" "" "$(cat "$printer_out/laser1.prn" 2>/dev/null)"
spool records 'Laser 1'
check_match "records lists the job" $'(^|\n)Laser 1 +C:/docs/Prüfseite – März 日本.txt +32566245(\n|$)' "$out"

# ---- Failures name the failing step; wrong command lines exit with 2.
refused 'OpenPort("NOPE:")' 1796 print abc.txt --port 'NOPE:' --printer 'Laser 1'
refused 'OpenPrinterW("No Such Printer")' 1801 print abc.txt --port 'HT1:' --printer 'No Such Printer'
refused 'opening missing.txt' 2 print missing.txt --port 'HT1:' --printer 'Laser 1'
# StartDocPort passes on OpenPrinterW's error for a missing pass-through printer.
refused StartDocPort 1801 print abc.txt --port 'HT-GONE:' --printer 'Laser 1'
check "the monitor names the failed call" \
  "[vardlet debug] CChecksumPort::StartDocPort(): OpenPrinter of the pass-through printer failed." \
  "$(grep '^\[vardlet debug\]' <<< "$err")"
for args in '' '--bogus ports' 'add-port A: B:' 'print abc.txt --port HT1: --printer x --write-size 0'; do
  # shellcheck disable=SC2086  # the words are the arguments
  expect "2|" $args
done
expect "0|port HT1: deleted" delete-port 'HT1:'
spool ports
check "the deleted port is not listed" "0|$(printf 'HT-GONE:\nHT-PASS:')" "$status|$(sort <<< "$out")"
refused 'DeletePortW("HT1:")' 1796 delete-port 'HT1:'

# ---- vardlet-sum gives the DLL's checksum, for every write size, and the
# port passes each job through unchanged. One file name goes beyond the ANSI
# code page, which Windows programs must not rely on.
plain='plain März 日本.txt'
printf 'Plain text, 100%% not PostScript: (a%%b) \\) and a line\r\nwith CR LF.\n' > "$plain"
for i in $(seq 80); do printf 'line %d %% of (nothing)\n' "$i"; done >> "$plain"
printf '%%!PS-Adobe-3.0\n(a%%b) show\n' > small.ps
# A job the way many drivers send it: a printer-language prefix first, so the
# header is not in the first bytes and small writes split it.
{
  printf '\033%%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = POSTSCRIPT\r\n'
  printf '%%!PS-Adobe-3.0\n%%%%Title: host test\n%%%%CreationDate: today\n'
  printf '/Helvetica findfont 12 scalefont setfont %% a comment\n'
  printf '72 700 moveto (100%% (nested) \\) escaped) show\n'
  printf '%% a comment ended by CR alone\r still a comment\n(after) show\n'
  printf '%%%% form feed ends this\f(page 2) show showpage\n\033%%-12345X'
} > pjl.ps
# Every byte value (zero, CR LF and Ctrl-Z among them), then a header after
# zero bytes, which cut the carried tail that finds a header split by writes.
for i in $(seq 0 255); do printf "\\$(printf '%03o' "$i")"; done > bytes.bin
for i in $(seq 40); do cat bytes.bin; done > binary.bin  # 10240 bytes
printf '\0\0%%!PS-Adobe\n%%x\n(\0)' >> binary.bin
# binary.bin goes last: the pass-through printer's file keeps only the last job.
files=("$plain" small.ps pjl.ps binary.bin)
# Split by writes of 5, the header is read as plain data; whole, comments are left out.
declare -A known=([small.ps:5]=1246335795 [small.ps:65536]=3750054803)
[ -x "$native_sum" ] || echo "note: no native vardlet-sum at '${native_sum}'; comparing with vardlet-sum.exe only"

for size in 1 5 65536; do
  rm -f "$printer_out/pass-target.prn"
  spool --quiet print "${files[@]}" --port 'HT-PASS:' --printer 'Laser 1' --write-size "$size"
  print_out=$out
  check "print at write size $size" "0|same" \
    "$status|$(cmp -s binary.bin "$printer_out/pass-target.prn" && echo same || echo 'not the job')"
  win vardlet-sum.exe --write-size "$size" "${files[@]}"
  check "vardlet-sum.exe at write size $size" 0 "$status"
  sums=("$out")
  [ -x "$native_sum" ] && sums+=("$("$native_sum" --write-size "$size" "${files[@]}")")
  for file in "${files[@]}"; do
    bytes=$(wc -c < "$file")
    block=$(grep -A2 -F "$file: " <<< "$print_out")
    said=$(sed -n 's/^  monitor said: Checksum: \([0-9]\+\)$/\1/p' <<< "$block")
    said=${said:-"(no checksum message)"}
    check "$file at $size: whole file in writes of $size" \
      "$file: $bytes bytes in $(( (bytes + size - 1) / size )) writes of up to $size" "$(head -n 1 <<< "$block")"
    check "$file at $size: record = message" "$said" \
      "$(sed -n 's/.*\\LastChecksum = \([0-9]*\) (0x.*/\1/p' <<< "$block")"
    [ -n "${known[$file:$size]:-}" ] && check "$file at $size: known value" "${known[$file:$size]}" "$said"
    for sum in "${sums[@]}"; do  # vardlet-sum.exe, then the native one
      check "$file at $size: vardlet-sum = DLL" "$said $bytes $file" "$(grep -F " $file" <<< "$sum")"
    done
  done
done

# ---- vardlet-spool's records: saved and checked back with names that a
# line-based format gets wrong, a changed and a missing record found with exit
# status 1, unreadable files with 2, the JSON form; and --version.
for tool in vardlet-spool vardlet-sum; do
  win "$tool.exe" --version
  check_match "$tool --version" "^0\|$tool [0-9]+\.[0-9]+\.[0-9]+\$" "$status|$out"
done

# A printer of this run's own, so its records are only the ones made here.
printer="Records \"Test\" Prüf $$"
spool --quiet add-printer "$printer" --output "$printer_out/records-test.prn"
spool --quiet add-port 'REC1:'
printf abd > abd.txt
documents=($'#hash, "quoted", C:\\docs\\x.txt \\u0041 \\\\ line\nfeed and CR\r' $'tab\there' ' spaced März 日本 😀 ')
for document in "${documents[@]}"; do
  spool --quiet print abc.txt --port 'REC1:' --printer "$printer" --document "$document"
  check "print $(printf %q "$document")" 0 "$status"
done

expect "0|3 records saved to saved.txt" --quiet records --save saved.txt "$printer"
check "a saved line: tab escaped, printer as it is" "1" \
  "$(grep -cxF "$printer"$'\ttab\\there\t32566245' saved.txt)"
# Checked right after the save, from a copy with a byte order mark and CR LF.
{ printf '\xef\xbb\xbf'; sed 's/$/\r/' saved.txt; } > windows.txt
spool --quiet records --check windows.txt
check "check right after save" "0|3 records checked: 3 OK, 0 CHANGED, 0 MISSING" "$status|$(tail -n 1 <<< "$out")"

# Every name, as the monitor stores it, back from the JSON form.
spool --quiet records --json "$printer"
names=$(python3 -c 'import json, sys
print("|".join(sorted(r["printer"] + ">" + r["document"] for r in json.load(sys.stdin))))' <<< "$out")
expected=$(for document in "${documents[@]}"; do printf '%s\0' "$printer>${document//\\//}"; done | python3 -c '
import sys; print("|".join(sorted(sys.stdin.read().split("\0")[:-1])))')
check "json round trip" "$expected" "$names"

# A document of the suite was never printed; then the driver changes a job.
printf '%s\tnever printed\t1\n' "$printer" >> saved.txt
spool --quiet records --check saved.txt
check "a missing record alone: status" 1 "$status"
spool --quiet print abd.txt --port 'REC1:' --printer "$printer" --document $'tab\there'
spool --quiet records --check saved.txt
check "changed and missing: status" 1 "$status"
check_match "the changed record, old and new" $'(^|\n)CHANGED\t'"$printer"$'\ttab\\\\there\twas 32566245, now [0-9]+\n' "$out"
check_match "the missing record" $'(^|\n)MISSING\t'"$printer"$'\tnever printed\n' "$out"
check "summary" "4 records checked: 2 OK, 1 CHANGED, 1 MISSING" "$(tail -n 1 <<< "$out")"

# Files that are not what the user meant to check: status 2.
printf 'two\tfields\n' > fields.txt
printf 'p\td\\q\t1\n' > escape.txt
printf 'p\td\t4294967296\n' > big.txt
printf 'p\t\xff\t1\n' > latin1.txt
for file in no-such-file.txt fields.txt escape.txt big.txt latin1.txt; do
  expect "2|" --quiet records --check "$file"
done
spool --quiet records --save none.txt 'No Such Printer'
check "save of no records writes nothing" "1|no" "$status|$([ -e none.txt ] && echo yes || echo no)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
