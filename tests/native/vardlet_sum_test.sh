#!/usr/bin/env bash
# vardlet-sum from the command line: known values, --check, --counted, the
# report, standard input and the exit codes.
set -u
sum=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0 failed=0

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passed=$((passed + 1))
  else failed=$((failed + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"; fi
}

printf 'abc' > abc.txt
printf '%%!PS-Adobe-3.0\n(a%%b) show\n' > job.ps
printf '(a%%b) show\n' > plain.txt
: > empty.txt

check "abc" "32566245 3 abc.txt" "$("$sum" abc.txt)"
check "hex" "01f0ebe5 3 abc.txt" "$("$sum" --hex abc.txt)"
check "empty job" "0 0 empty.txt" "$("$sum" empty.txt)"
check "standard input" "32566245 3" "$(printf abc | "$sum")"
check "one byte per write" "32566245 3 abc.txt" "$("$sum" --write-size 1 abc.txt)"
check "PostScript leaves out comments" "3750054803 26 job.ps" "$("$sum" job.ps)"
check "header split at the 5th byte" "1246335795 26 job.ps" "$("$sum" --write-size 5 job.ps)"

# --counted writes what entered the checksum; it sums like the plain text.
"$sum" --counted job.ps > counted.out 2> counted.err
check "counted bytes" "$(cat plain.txt)" "$(cat counted.out)"
check "counted report" "3750054803 26 job.ps
  PostScript: yes, from write 1
  bytes counted: 11, left out: 15" "$(cat counted.err)"

# --check: a list made by vardlet-sum verifies; a changed file fails.
"$sum" abc.txt job.ps > list
"$sum" --check list > out; status=$?
check "check passes" "0|abc.txt: OK
job.ps: OK" "$status|$(cat out)"
printf 'abd' > abc.txt
"$sum" --check list > out 2>/dev/null; status=$?
check "check fails" "1|abc.txt: FAILED
job.ps: OK" "$status|$(cat out)"

# Missing or unreadable files: a message and exit status 2.
"$sum" missing.txt > out 2> err; status=$?
check "missing file" "2|" "$status|$(cat out)"
check "missing file message" "vardlet-sum: missing.txt: No such file or directory" "$(cat err)"
echo "0 1 missing.txt" > list2
"$sum" --check list2 > out 2>/dev/null; status=$?
check "check with a missing file" "2|missing.txt: FAILED open or read" "$status|$(cat out)"
"$sum" --write-size 0 abc.txt 2>/dev/null; check "bad write size" "2" "$?"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
