#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine.
# Safe to run again: it only installs what is missing.
set -euo pipefail

need=()
for p in mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
         g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64 wine64 xvfb \
         cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev \
         libbenchmark-dev imagemagick x11-apps; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
have_wine32=1
dpkg -s wine32:i386 >/dev/null 2>&1 || have_wine32=0

if [ ${#need[@]} -eq 0 ] && [ $have_wine32 -eq 1 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq || true
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ $have_wine32 -eq 0 ]; then
  # The i386 security index is often out of step with amd64, which breaks the
  # Multi-Arch "same version" rule. Prefer the point release for this one install.
  pin=$(mktemp)
  printf 'Package: *\nPin: release n=bookworm\nPin-Priority: 1001\n' > "$pin"
  apt-get install -y -qq --no-install-recommends --allow-downgrades \
    -o Dir::Etc::Preferences="$pin" -o Dpkg::Options::=--force-confold wine32:i386 >/dev/null \
    || echo "install-deps: wine32 could not be installed; 32-bit tests will be skipped" >&2
  rm -f "$pin"
fi
echo "install-deps: done"
