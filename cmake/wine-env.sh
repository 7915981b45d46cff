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

# Why 32-bit Windows programs cannot be tested here; prints nothing when they
# can. Debian's 32-bit loader is a 32-bit Linux program: it needs wine32 and a
# kernel that runs 32-bit programs natively. Under qemu-i386 user emulation
# (a binfmt_misc entry) it starts, but its processes die at random with
# "wine client error".
wine32_unusable_reason() {
  loader32=/usr/lib/wine/wine
  if [ ! -x "$loader32" ]; then
    echo "wine32 is not installed"
    return 0
  fi
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$entry" ] || continue
    if grep -qx enabled "$entry" 2>/dev/null && grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null; then
      echo "32-bit programs run through qemu user emulation ($entry), where 32-bit Wine is unreliable"
      return 0
    fi
  done
  if ! "$loader32" --version >/dev/null 2>&1; then
    echo "the kernel does not run 32-bit programs (32-bit emulation disabled)"
  fi
  return 0
}
