# GoogleTest: the package installed for the target when there is one (MSYS2's
# on Windows), else built for the target from the sources in RD_GTEST_SOURCE
# (Debian's googletest package, on the machine that cross-builds).
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(RD_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
  if(NOT EXISTS ${RD_GTEST_SOURCE}/googletest/src/gtest-all.cc)
    message(FATAL_ERROR "GoogleTest neither installed nor found in RD_GTEST_SOURCE=${RD_GTEST_SOURCE} (apt-get install googletest)")
  endif()
  add_library(gtest STATIC ${RD_GTEST_SOURCE}/googletest/src/gtest-all.cc)
  target_include_directories(gtest SYSTEM PUBLIC ${RD_GTEST_SOURCE}/googletest/include
                                          PRIVATE ${RD_GTEST_SOURCE}/googletest)
  target_compile_options(gtest PRIVATE -w)
  add_library(gtest_main STATIC ${RD_GTEST_SOURCE}/googletest/src/gtest_main.cc)
  target_link_libraries(gtest_main PUBLIC gtest)
  target_compile_options(gtest_main PRIVATE -w)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
