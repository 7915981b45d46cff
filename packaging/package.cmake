# The release zip for Windows users, made by CPack:
#   cmake --build --preset win64 --target package  ->  vardlet-<version>-win64.zip
# (win32 alike). It unpacks into one folder holding the DLLs, the tools, the
# README and INSTALL.txt. A new binary ships with one more install() line.

install(TARGETS vardlet vardletmon vardletui RUNTIME DESTINATION .)
install(TARGETS vardlet-spool vardlet-sum RUNTIME DESTINATION .)

# The texts with Windows line ends, so that every editor shows them right.
configure_file(${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/package/README.md @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_CURRENT_LIST_DIR}/INSTALL.txt ${CMAKE_BINARY_DIR}/package/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/package/README.md ${CMAKE_BINARY_DIR}/package/INSTALL.txt DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VARDLET_PACKAGE_ARCH win64)
else()
  set(VARDLET_PACKAGE_ARCH win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vardlet)
set(CPACK_PACKAGE_VENDOR vardlet)
set(CPACK_PACKAGE_FILE_NAME vardlet-${PROJECT_VERSION}-${VARDLET_PACKAGE_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
