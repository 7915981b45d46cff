#!/usr/bin/env bash
# spool_host_test.sh EMULATOR BIN_DIR: vardlet-spool under Wine for what
# demo/run.sh does not show: host mode, write sizes, records --check, refusals.
set -u
# Wine decodes the command line in the locale's character set.
export LC_ALL=C.UTF-8
emulator=$1
bin=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"  # Wine maps it to a Z: path, so relative file names work as they are
root="SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet Host Test $$"
records_key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Checksums'
passed=0 failed=0

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"; fi
}

win() {
  "$emulator" "$bin/$1" "${@:2}" > stdout 2> stderr
  status=$?
  out=$(tr -d '\r' < stdout)
  err=$(tr -d '\r' < stderr)
}
spool() { win vardlet-spool.exe --root "$root" "$@"; }

# expect "STATUS|STDOUT" ARGS...: vardlet-spool with ARGS must end so.
expect() {
  spool "${@:2}"
  check "${*:2}" "$1" "$status|$out"
}

# ---- Host mode: backslashes of the document name become slashes in one key level.
printf 'abc' > abc.txt
expect "0|port HT1: added" add-port 'HT1:'
expect "0|abc.txt: 3 bytes in 1 writes of up to 4096
  monitor said: Checksum: 32566245
  record: $records_key\\Laser 1\\C:/docs/Prüfseite – März 日本.txt\\LastChecksum = 32566245 (0x01F0EBE5)" \
  print abc.txt --port 'HT1:' --printer 'Laser 1' --document 'C:\docs\Prüfseite – März 日本.txt'

# ---- Whole files in writes of every size; vardlet-sum.exe agrees with the monitor.
plain='plain März 日本.txt'
for i in $(seq 80); do printf 'line %d %% of (nothing)\r\n' "$i"; done > "$plain"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 40)' > binary.bin
files=("$plain" binary.bin)
for size in 1 5 65536; do
  spool --quiet print "${files[@]}" --port 'HT1:' --printer 'Laser 1' --write-size "$size"
  print_out=$out
  win vardlet-sum.exe --write-size "$size" "${files[@]}"
  for file in "${files[@]}"; do
    bytes=$(wc -c < "$file")
    block=$(grep -A1 -F "$file: " <<< "$print_out")
    said=$(sed -n 's/^  monitor said: Checksum: \([0-9]\+\)$/\1/p' <<< "$block")
    check "$file at $size: whole file in writes of $size" \
      "$file: $bytes bytes in $(( (bytes + size - 1) / size )) writes of up to $size" "$(head -n 1 <<< "$block")"
    check "$file at $size: vardlet-sum = DLL" "${said:-(no checksum)} $bytes $file" \
      "$(grep -F " $file" <<< "$out")${err:+ (status $status, stderr: $err)}"
  done
done

# ---- Records saved and checked back: all OK; a MISSING or CHANGED one fails.
printer="Records Test $$"
spool --quiet add-printer "$printer" --output 'records-test.prn'
for document in $'tab\there' ' spaced März 日本 😀 '; do
  spool --quiet print abc.txt --port 'HT1:' --printer "$printer" --document "$document"
done
expect "0|2 records saved to saved.txt" --quiet records --save saved.txt "$printer"
spool --quiet records --check saved.txt
check "check right after save" "0|2 records checked: 2 OK, 0 CHANGED, 0 MISSING" "$status|$(tail -n 1 <<< "$out")"
printf '%s\tnever printed\t1\n' "$printer" >> saved.txt
spool --quiet records --check saved.txt
check "a missing record alone" "1|MISSING	$printer	never printed" "$status|$(grep ^MISSING <<< "$out")"
printf abd > abd.txt
spool --quiet print abd.txt --port 'HT1:' --printer "$printer" --document $'tab\there'
spool --quiet records --check saved.txt
check "changed and missing" "1|CHANGED	$printer	tab\\there	was 32566245, now 32893925" \
  "$status|$(grep ^CHANGED <<< "$out")"

# ---- Refusals: bad command lines and files exit with 2; a failed step with 1.
printf 'two\tfields\n' > fields.txt
printf 'p\td\\q\t1\n' > escape.txt
printf 'p\td\t4294967296\n' > big.txt
printf 'p\t\xff\t1\n' > latin1.txt
while IFS='|' read -r code step args; do
  eval "set -- $args"
  expect "$([ -n "$step" ] && echo 1 || echo 2)|" "$@"
  [ -z "$step" ] || [[ "$(grep -v '^\[vardlet debug\]' <<< "$err")" == \
    "vardlet-spool: $step failed: error $code: "[A-Za-z]*[^\ ] ]] || check "$* names $step, $code" "" "$err"
done <<'EOF'
||
||--bogus ports
||add-port A: B:
||print abc.txt --port HT1: --printer x --write-size 0
||records --check no-such-file.txt
||records --check fields.txt
||records --check escape.txt
||records --check big.txt
||records --check latin1.txt
183|AddPortExW("ht1:")|add-port ht1:
1796|OpenPort("NOPE:")|print abc.txt --port NOPE: --printer 'Laser 1'
1801|OpenPrinterW("No Such Printer")|print abc.txt --port HT1: --printer 'No Such Printer'
2|opening missing.txt|print missing.txt --port HT1: --printer 'Laser 1'
1796|DeletePortW("NOPE:")|delete-port NOPE:
EOF

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
