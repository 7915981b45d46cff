# The product DLLs (vardlet.dll, vardletmon.dll, vardletui.dll) must load in
# the spooler of every Windows version whose interface they serve: Windows
# 2000 on i686, Windows XP x64 / Server 2003 on x86_64. So they and the
# static libraries linked into them are built
#  - with mingw-w64's win32 thread model: the -posix compilers link in
#    winpthread, which imports GetTickCount64 (Vista) and the vectored
#    exception handlers (XP). Tests and tools keep the -posix compilers that
#    GoogleTest needs; a compiler launcher (win32-threads.sh) runs the win32
#    twin of the same compiler for these targets only, so one build holds
#    both;
#  - with _WIN32_WINNT and WINVER of that Windows version, so that newer
#    declarations are not even visible;
#  - without C++ exceptions and run-time type information: nothing is
#    thrown, and either would link in libstdc++'s terminate handler and with
#    it stdio and locale functions of msvcrt.dll that Windows 2000 lacks;
#  - with the runtime linked in statically (no runtime DLL to go missing).
# .ci/check-imports.sh checks the DLLs' import tables.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VARDLET_PRODUCT_WINNT 0x0500)  # Windows 2000
else()
  set(VARDLET_PRODUCT_WINNT 0x0502)  # Windows XP x64 / Server 2003
endif()

foreach(_lang C CXX)
  string(REGEX REPLACE "-posix$" "-win32" _twin "${CMAKE_${_lang}_COMPILER}")
  if(_twin STREQUAL CMAKE_${_lang}_COMPILER OR NOT EXISTS "${_twin}")
    message(FATAL_ERROR "The product DLLs need the win32-thread-model twin of ${CMAKE_${_lang}_COMPILER} "
                        "(${_twin}): install g++-mingw-w64-x86-64-win32 and g++-mingw-w64-i686-win32.")
  endif()
endforeach()
set(_vardlet_launcher ${CMAKE_CURRENT_LIST_DIR}/win32-threads.sh)

# Code that goes into a product DLL: compiled by the win32 compilers, for
# the oldest Windows version served.
function(vardlet_product_code target)
  set_target_properties(${target} PROPERTIES
    C_COMPILER_LAUNCHER ${_vardlet_launcher}
    CXX_COMPILER_LAUNCHER ${_vardlet_launcher})
  target_compile_definitions(${target} PRIVATE
    _WIN32_WINNT=${VARDLET_PRODUCT_WINNT} WINVER=${VARDLET_PRODUCT_WINNT})
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
endfunction()

# A product DLL: its code as above, linked by the win32 compilers with the
# runtime inside, named without the "lib" prefix.
function(vardlet_product_dll target)
  vardlet_product_code(${target})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    C_LINKER_LAUNCHER ${_vardlet_launcher}
    CXX_LINKER_LAUNCHER ${_vardlet_launcher})
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()
