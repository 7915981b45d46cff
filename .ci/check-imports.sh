#!/usr/bin/env bash
# Checks the import tables of the product DLLs given on the command line
# against .ci/allowed-imports.txt, so that none of them imports anything
# newer than Windows 2000 (i686) or Windows XP x64 / Server 2003 (x86_64).
# Prints each DLL's imports that are not allowed and exits non-zero if there
# are any (or if a DLL cannot be read).
#   .ci/check-imports.sh build/win64/bin/vardlet.dll build/win32/bin/vardlet.dll ...
set -uo pipefail
here=$(dirname "$0")
objdump=x86_64-w64-mingw32-objdump   # reads pei-i386 and pei-x86-64 alike
allowed=$(grep -v '^#' "$here/allowed-imports.txt" |
          awk '{ for (i = 2; i <= NF; i++) print toupper($1) " " $i }' | sort -u)
[ $# -gt 0 ] || { echo "usage: $0 DLL..." >&2; exit 2; }

status=0
for dll in "$@"; do
  if ! table=$($objdump -p "$dll" 2>/dev/null); then
    echo "check-imports: cannot read $dll" >&2; status=1; continue
  fi
  # "DLL Name: X" starts a DLL's entries; each entry line is vma, hint, name.
  imports=$(awk '/DLL Name:/ { dll = toupper($3) }
                 /^\t[0-9a-f]+\t +[0-9]+ / { print dll " " $3 }' <<<"$table" | sort -u)
  if [ -z "$imports" ]; then
    echo "check-imports: no imports found in $dll" >&2; status=1; continue
  fi
  extra=$(comm -23 <(echo "$imports") <(echo "$allowed"))
  if [ -n "$extra" ]; then
    echo "check-imports: $dll imports what is not allowed:"
    sed 's/^/  /' <<<"$extra"
    status=1
  else
    echo "check-imports: $dll: $(wc -l <<<"$imports") imports, all allowed"
  fi
done
exit $status
