# The event message file: a resource-only DLL compiled from log/eventmsg.mc.
enable_language(RC)
set(RD_EVENTMSG_DIR ${CMAKE_BINARY_DIR}/eventmsg)
find_program(RD_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
add_custom_command(
  OUTPUT ${RD_EVENTMSG_DIR}/eventmsg.rc ${RD_EVENTMSG_DIR}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${RD_EVENTMSG_DIR}
  # -U: the message texts in UTF-16, as FormatMessageW reads them.
  COMMAND ${RD_WINDMC} -U -r ${RD_EVENTMSG_DIR} -h ${RD_EVENTMSG_DIR} ${CMAKE_SOURCE_DIR}/log/eventmsg.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/log/eventmsg.mc
  VERBATIM)
# MODULE: no import library, nothing to link against.
add_library(eventmsg MODULE ${RD_EVENTMSG_DIR}/eventmsg.rc)
set_target_properties(eventmsg PROPERTIES PREFIX "" LINKER_LANGUAGE C)
# windres resolves the table's file name against its working directory.
target_include_directories(eventmsg PRIVATE ${RD_EVENTMSG_DIR})
# No code: no entry point, no C runtime, no static run-time libraries.
target_link_options(eventmsg PRIVATE -nostdlib -Wl,--entry,0 -s)

# The installation root's layout; the ZIP and `cmake --install` share it.
install(TARGETS rundock rundock-check RUNTIME DESTINATION admin/bin64)
install(TARGETS eventmsg LIBRARY DESTINATION admin/bin64)
# A sample of the configuration key, to edit and import (docs/operator.md, Installation).
install(FILES ${CMAKE_SOURCE_DIR}/docs/rundock-sample.reg DESTINATION admin)
# No image of the package may be marked CET-compatible (cmake/cet-check.cmake).
install(CODE "include(\"${CMAKE_CURRENT_LIST_DIR}/cet-check.cmake\")
  rd_check_no_cet_mark(\"$<TARGET_FILE:rundock>\")
  rd_check_no_cet_mark(\"$<TARGET_FILE:rundock-check>\")
  rd_check_no_cet_mark(\"$<TARGET_FILE:eventmsg>\")")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME rundock)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME rundock-${PROJECT_VERSION}-win64)
# Unpacked into the installation root itself, not into a folder of its own.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
