# Helpers shared by the test, fuzz and tool folders.

# The system's own code is built without exceptions: results are bool / null / -1.
function(zt4_no_exceptions target)
  target_compile_options(${target} PRIVATE -fno-exceptions)
endfunction()

if(ZT4_BUILD_TESTS)
  if(WIN32)
    # Debian ships GoogleTest as sources; build them with the cross compiler.
    set(ZT4_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${ZT4_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# zt4_add_gtest(NAME SOURCES a.cc b.cc [LIBS x y])
# One GoogleTest executable, registered with CTest as one test. Under the Windows
# preset CTest runs it through CMAKE_CROSSCOMPILING_EMULATOR (wine).
function(zt4_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE zt4lib zt4_testsupport GTest::gtest ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 1200)
endfunction()
