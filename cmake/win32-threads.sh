#!/bin/sh
# Compiler and linker launcher of the product DLLs (cmake/vardlet-product.cmake):
# runs the win32-thread-model twin of the -posix compiler CMake hands it
# (x86_64-w64-mingw32-g++-posix becomes x86_64-w64-mingw32-g++-win32), with
# the same arguments.
compiler=$1
shift
case "$compiler" in
  *-posix) twin="${compiler%-posix}-win32" ;;
  *) echo "win32-threads.sh: expected a -posix compiler, got: $compiler" >&2; exit 1 ;;
esac
exec "$twin" "$@"
