# The project's one version, carried by every binary.
#
#   vardlet_version_resource(TARGET "Description")
#
# gives TARGET the header vardletversion.h (VARDLET_VERSION, "x.y.z") and, on
# Windows, a VERSIONINFO resource: file and product version, the description
# shown in the file's properties, the product name and the file's own name.
# A DLL that has a resource script of its own (dialogs) keeps it: the linker
# merges the two, and only this one holds a VERSIONINFO.

set(VARDLET_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vardletversion.h.in ${VARDLET_GENERATED_DIR}/vardletversion.h @ONLY)
set(VARDLET_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VARDLET_VERSION_RC_TEMPLATE})

function(vardlet_version_resource Target Description)
  target_include_directories(${Target} PRIVATE ${VARDLET_GENERATED_DIR})
  if(NOT WIN32)
    return()
  endif()
  get_target_property(TargetType ${Target} TYPE)
  if(TargetType STREQUAL "EXECUTABLE")
    set(VARDLET_FILE_TYPE VFT_APP)
  else()
    set(VARDLET_FILE_TYPE VFT_DLL)
  endif()
  set(VARDLET_TARGET ${Target})
  set(VARDLET_DESCRIPTION "${Description}")
  file(READ ${VARDLET_VERSION_RC_TEMPLATE} Template)
  string(CONFIGURE "${Template}" Script @ONLY)
  # The file's name is known only at generation time.
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${Target}_version.rc CONTENT "${Script}")
  target_sources(${Target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${Target}_version.rc)
endfunction()
