# What Windows reads from a binary besides its code: the version resource
# (installers, Explorer's details, crash triage) and the application manifest.

# The panel's maker, as its configuration key names it.
set(RD_COMPANY Korvo)

# A VERSIONINFO resource for target, with the project's version.
function(rd_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL EXECUTABLE)
    set(RD_FILE_TYPE VFT_APP)
    set(RD_FILE_NAME ${target}.exe)
  else()
    set(RD_FILE_TYPE VFT_DLL)
    set(RD_FILE_NAME ${target}.dll)
  endif()
  set(RD_FILE_DESCRIPTION ${description})
  set(rc ${CMAKE_BINARY_DIR}/resources/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# The application manifest (supported systems, long paths, no elevation).
# The test programs carry it too, so that they meet the same system.
function(rd_manifest target)
  set(rc ${PROJECT_SOURCE_DIR}/app/manifest.rc)
  target_sources(${target} PRIVATE ${rc})
  # windres reads the manifest as data, which no dependency scan sees.
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES
                              OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/app/rundock.manifest)
endfunction()

rd_version_resource(rundock "rundock task agent")
rd_manifest(rundock)
rd_version_resource(rundock-check "rundock installation check")
rd_manifest(rundock-check)
rd_version_resource(eventmsg "rundock event log messages")
