# host_cli.sh: helpers for the shell tests that run the Windows tools under
# Wine. The sourcing script sets $emulator (cmake/wine-run.sh) and $bin (the
# folder of the programs), and counts with $passed and $failed.
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
