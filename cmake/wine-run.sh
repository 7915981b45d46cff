#!/bin/sh
# CMAKE_CROSSCOMPILING_EMULATOR of the Windows presets: CTest puts it in front
# of every test program. The test's ENVIRONMENT property names the prefix that
# the wine.prefix fixture made for this run; without it the program would run
# in a throw-away prefix, never in the user's ~/.wine.
here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
. "$here/wine-env.sh"

if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run.sh: WINEPREFIX is not set; run the test through ctest (fixture wine.prefix)" >&2
  exit 2
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

loader=$(wine_find_loader) || exit 2
case "$loader" in
  *64) export WINELOADER="${WINELOADER:-$loader}" ;;
esac
exec "$loader" "$@"
