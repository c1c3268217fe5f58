# The product's folders are layers, lowest first; a layer may include only
# its own folder and the layers below it:
#   errors < runtime < tracing < threads < crash < log < exec < report < task < app
# Each layer is a static library linked to the layer right below it. Its
# include root holds one link, named after its folder, to that folder and
# nothing else, and the source root is on no library's include path: an
# include of a layer above does not compile.
function(rd_include_root target scope folder)
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} ${scope} ${root})
endfunction()

function(rd_layer name folder)
  add_library(${name} STATIC ${ARGN})
  rd_include_root(${name} PUBLIC ${folder})
endfunction()

# The agent's start-up set-up: linked into every program on its layer unless
# the program sets RD_NO_STARTUP (rundock-check, which must create nothing).
function(rd_startup_symbol layer symbol)
  target_link_options(${layer} INTERFACE
                      "$<$<NOT:$<BOOL:$<TARGET_PROPERTY:RD_NO_STARTUP>>>:LINKER:--undefined=${symbol}>")
endfunction()

# The runtime layers are also linked into DLLs, so nothing in them may
# assume it lives in the executable.
rd_layer(rderrors errors
  errors/vexception.cpp
  errors/format.cpp
  errors/translator.cpp
)

rd_layer(rdruntime runtime
  runtime/access_token.cpp
  runtime/acl.cpp
  runtime/com.cpp
  runtime/text.cpp
  runtime/datetime.cpp
  runtime/environment.cpp
  runtime/execute_context.cpp
  runtime/files.cpp
  runtime/handle.cpp
  runtime/library.cpp
  runtime/object_security.cpp
  runtime/paths.cpp
  runtime/registry.cpp
  runtime/security_descriptor.cpp
  runtime/sid.cpp
)
# shell32, shlwapi and oleaut32 are bound at run time (runtime/library.h).
target_link_libraries(rdruntime PUBLIC rderrors pathcch advapi32)

rd_layer(rdtracing tracing tracing/driver.cpp)
target_link_libraries(rdtracing PUBLIC rdruntime)

rd_layer(rdthreads threads
  threads/cancelation.cpp
  threads/guard.cpp
  threads/recycler.cpp
  threads/sync.cpp
)
target_link_libraries(rdthreads PUBLIC rdtracing)

rd_layer(rdcrash crash crash/crashdump.cpp crash/dump_folder.cpp crash/dump_settings.cpp)
target_link_libraries(rdcrash PUBLIC rdthreads)
# Crash dumps are set up by a static object, which also gives the translator
# its dump step, and nothing calls into the file for it: a program linked
# with the layer takes the file in through crashDumpInfo().
# It creates the configuration key and the dump folder.
rd_startup_symbol(rdcrash _Z13crashDumpInfov)

rd_layer(rdlogging log log/event_source.cpp log/last_chance.cpp log/log_folder.cpp log/log_level.cpp log/logfile.cpp
          log/logmanager.cpp)
target_link_libraries(rdlogging PUBLIC rdcrash)
# Likewise the log records every thread's cancellation through a notice a
# static object installs: LogManager::instance() takes the file in.
rd_startup_symbol(rdlogging _ZN10LogManager8instanceEv)

rd_layer(rdexec exec
  exec/job.cpp
  exec/launcher.cpp
  exec/overlapped_pipe.cpp
  exec/pipe.cpp
  exec/pipe_pair.cpp
  exec/quoting.cpp
  exec/winstation.cpp
)
target_link_libraries(rdexec PUBLIC rdlogging)

rd_layer(rdreport report report/feedback.cpp report/handler.cpp report/helpers.cpp report/xml_document.cpp)
target_link_libraries(rdreport PUBLIC rdexec)

rd_layer(rdtask task task/adapter.cpp task/process_helper.cpp task/system_helper.cpp)
target_link_libraries(rdtask PUBLIC rdreport)

# The console frame and the agent's commands, in a library of their own so
# that tests can drive them.
rd_layer(rdapp app app/consoleapp.cpp app/manager.cpp)
target_link_libraries(rdapp PUBLIC rdtask)

add_executable(rundock app/main.cpp)
target_link_libraries(rundock PRIVATE rdapp)
# Wide entry point. The C++ runtime's debug sections stay out of the image,
# and sections are aligned to pages in the file too: Wine maps such an image
# instead of reading every section into private memory at each start.
target_link_options(rundock PRIVATE -municode -Wl,--strip-debug -Wl,--file-alignment,4096)

# rundock-check reads what the agent reads, through the agent's own readers,
# and changes nothing. It stands on the layers below app/ and leaves out the
# start-up set-up; nothing it calls reaches crash/crashdump.cpp or
# log/logmanager.cpp, so the linker takes neither in.
add_executable(rundock-check
  check/main.cpp
  check/configuration.cpp
  check/dumps.cpp
  check/exports.cpp
  check/findings.cpp
  check/folder.cpp
  check/outlets.cpp
  check/records.cpp
  check/system.cpp
  check/version.cpp
)
rd_include_root(rundock-check PRIVATE check)
# authz: who may read a new dump; version: the versions --version prints.
target_link_libraries(rundock-check PRIVATE rdtask authz version)
set_target_properties(rundock-check PROPERTIES RD_NO_STARTUP ON)
target_link_options(rundock-check PRIVATE -municode)
