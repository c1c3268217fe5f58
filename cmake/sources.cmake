# The runtime library: everything but the agent's own commands. It is also
# linked into DLLs, so nothing in it may assume it lives in the executable.
add_library(rdruntime STATIC
  app/consoleapp.cpp
  crash/crashdump.cpp
  errors/vexception.cpp
  errors/format.cpp
  errors/translator.cpp
  errors/guard.cpp
  exec/job.cpp
  exec/launcher.cpp
  exec/quoting.cpp
  exec/pipes.cpp
  exec/winstation.cpp
  log/logfile.cpp
  log/logmanager.cpp
  report/handler.cpp
  report/helpers.cpp
  report/xml_document.cpp
  runtime/text.cpp
  runtime/datetime.cpp
  runtime/environment.cpp
  runtime/files.cpp
  runtime/library.cpp
  runtime/paths.cpp
  runtime/recycler.cpp
  runtime/registry.cpp
  runtime/security.cpp
  threads/cancelation.cpp
  threads/execute_context.cpp
  threads/handle.cpp
  threads/sync.cpp
  tracing/driver.cpp
)
target_include_directories(rdruntime PUBLIC ${CMAKE_SOURCE_DIR})
# shell32, shlwapi and oleaut32 are bound at run time (runtime/library.h).
target_link_libraries(rdruntime PUBLIC pathcch advapi32)

# The agent's commands, in a library of their own so that tests can drive them.
add_library(rdagent STATIC app/manager.cpp task/adapter.cpp task/process_helper.cpp task/system_helper.cpp)
target_link_libraries(rdagent PUBLIC rdruntime)

add_executable(rundock app/main.cpp)
target_link_libraries(rundock PRIVATE rdagent)
# Wide entry point.
target_link_options(rundock PRIVATE -municode)
