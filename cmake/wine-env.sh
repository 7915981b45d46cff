# Sourced by wine-run.sh and wine-prefix.sh: finds the Wine loader and server.
#
# Debian's /usr/bin/wine (package "wine", not installed by .ci/install-deps.sh)
# prefers the 32-bit loader whenever wine32 is installed, and that loader cannot
# start where the kernel refuses 32-bit programs. The 64-bit loader starts
# 64-bit programs itself and hands 32-bit ones to the 32-bit loader, so it is
# the one to call on every machine.

wine_find_loader() {
  for c in "${VARDLET_WINE:-}" /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" \
           "$(command -v wine 2>/dev/null)"; do
    if [ -n "$c" ] && [ -x "$c" ]; then
      printf '%s\n' "$c"
      return 0
    fi
  done
  echo "wine: no Wine loader found (install wine64)" >&2
  return 1
}

wine_find_server() {
  for c in /usr/lib/wine/wineserver64 "$(command -v wineserver 2>/dev/null)"; do
    if [ -n "$c" ] && [ -x "$c" ]; then
      printf '%s\n' "$c"
      return 0
    fi
  done
  echo "wine: no wineserver found (install wine64)" >&2
  return 1
}
