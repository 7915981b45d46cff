#!/usr/bin/env bash
# vardlet-spool's records under Wine: saved and checked back with names that
# a line-based format gets wrong, a changed and a missing record found with
# exit status 1, unreadable files with 2, the JSON form; and --version.
#
#   records_test.sh EMULATOR BIN_DIR PRINTER_OUTPUT_DIR
set -u
export LC_ALL=C.UTF-8  # Wine decodes the command line in the locale's character set
emulator=$1
bin=$2
printer_out=$3
. "$(dirname "$0")/support/host_cli.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

spool() { win vardlet-spool.exe --quiet --root "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Records $$" "$@"; }

for tool in vardlet-spool vardlet-sum; do
  win "$tool.exe" --version
  check_match "$tool --version" "^0\|$tool [0-9]+\.[0-9]+\.[0-9]+\$" "$status|$out"
done

# A printer of this run's own, so its records are only the ones made here.
printer="Records \"Test\" Prüf $$"
spool add-printer "$printer" --output "$printer_out/records-test.prn"
spool add-port 'REC1:'
printf abc > abc.txt
printf abd > abd.txt
documents=('a, "quoted", C:\docs\x.txt' $'tab\there' $'line\nfeed and CR\r' '#hash' ' spaced ' 'März 日本 😀' '\u0041 \\')
for document in "${documents[@]}"; do
  spool print abc.txt --port 'REC1:' --printer "$printer" --document "$document"
  check "print $(printf %q "$document")" 0 "$status"
done

spool records --save saved.txt "$printer"
check "save" "0|7 records saved to saved.txt" "$status|$out"
check "a saved line: tab escaped, printer as it is" "1" \
  "$(grep -cxF "$printer"$'\ttab\\there\t32566245' saved.txt)"
spool records --check saved.txt
check "check right after save" "0|7 records checked: 7 OK, 0 CHANGED, 0 MISSING" "$status|$(tail -n 1 <<< "$out")"
{ printf '\xef\xbb\xbf'; sed 's/$/\r/' saved.txt; } > windows.txt
spool records --check windows.txt
check "check of the file with a byte order mark and CR LF" "0" "$status"

# Every name, as the monitor stores it, back from the JSON form.
spool records --json "$printer"
names=$(python3 -c 'import json, sys
print("|".join(sorted(r["printer"] + ">" + r["document"] for r in json.load(sys.stdin))))' <<< "$out")
expected=$(for document in "${documents[@]}"; do printf '%s\0' "$printer>${document//\\//}"; done | python3 -c '
import sys; print("|".join(sorted(sys.stdin.read().split("\0")[:-1])))')
check "json round trip" "$expected" "$names"

# The driver changed one job, and a document of the suite was never printed.
spool print abd.txt --port 'REC1:' --printer "$printer" --document $'tab\there'
spool records --check saved.txt
check "a changed record alone: status" 1 "$status"
printf '%s\tnever printed\t1\n' "$printer" >> saved.txt
spool records --check saved.txt
check "changed and missing: status" 1 "$status"
check_match "the changed record, old and new" $'(^|\n)CHANGED\t'"$printer"$'\ttab\\\\there\twas 32566245, now [0-9]+\n' "$out"
check_match "the missing record" $'(^|\n)MISSING\t'"$printer"$'\tnever printed\n' "$out"
check "summary" "8 records checked: 6 OK, 1 CHANGED, 1 MISSING" "$(tail -n 1 <<< "$out")"

# Files that are not what the user meant to check: status 2.
printf 'two\tfields\n' > fields.txt
printf 'p\td\\q\t1\n' > escape.txt
printf 'p\td\t4294967296\n' > big.txt
printf 'p\t\xff\t1\n' > latin1.txt
for file in no-such-file.txt fields.txt escape.txt big.txt latin1.txt; do
  spool records --check "$file"
  check "check $file" "2|" "$status|$out"
done
spool records --save none.txt 'No Such Printer'
check "save of no records writes nothing" "1|no" "$status|$([ -e none.txt ] && echo yes || echo no)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
