#!/usr/bin/env bash
# vardlet-sum from the command line: known values, write sizes, standard
# input, --counted, --check and the exit codes.
set -u
sum=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0

run() {  # run COMMAND...: its exit status and the lines of its output, joined by "|"
  "$@" > out 2> err
  echo "$?|$(paste -sd'|' out)"
}

check() {  # check NAME EXPECTED ACTUAL
  [ "$2" == "$3" ] && return
  failed=$((failed + 1))
  printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
}

printf 'abc' > abc.txt
printf '%%!PS-Adobe-3.0\n(a%%b) show\n' > job.ps
: > empty.txt

check "checksums" "0|32566245 3 abc.txt|0 0 empty.txt|3750054803 26 job.ps" "$(run "$sum" abc.txt empty.txt job.ps)"
check "hex from standard input" "0|01f0ebe5 3" "$(printf abc | run "$sum" --hex)"
check "header split at the 5th byte" "0|1246335795 26 job.ps" "$(run "$sum" --write-size 5 job.ps)"

# --counted: the bytes that entered the checksum on standard output, the
# line and the report on standard error.
check "counted bytes" "0|(a%b) show" "$(run "$sum" --counted job.ps)"
check "counted report" "3750054803 26 job.ps|  PostScript: yes, from write 1|  bytes counted: 11, left out: 15" \
  "$(paste -sd'|' err)"

# --check: a list made by vardlet-sum verifies (0), a changed file fails (1);
# a missing file or a bad option is status 2, with a message.
"$sum" abc.txt job.ps > list
check "check passes" "0|abc.txt: OK|job.ps: OK" "$(run "$sum" --check list)"
printf 'abd' > abc.txt
check "check fails" "1|abc.txt: FAILED|job.ps: OK" "$(run "$sum" --check list)"
echo "0 1 missing.txt" > list
check "check with a missing file" "2|missing.txt: FAILED open or read" "$(run "$sum" --check list)"
check "missing file" "2|" "$(run "$sum" missing.txt)"
check "missing file message" "vardlet-sum: missing.txt: No such file or directory" "$(cat err)"
check "bad write size" "2|" "$(run "$sum" --write-size 0 abc.txt)"

echo "$failed failed"
[ "$failed" -eq 0 ]
