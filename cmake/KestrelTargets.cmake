# Helpers shared by every target of the project.

# Warnings as errors on our own code only; third-party headers come in as SYSTEM.
function(kestrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  if(KESTREL_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis sees through the sanitizers' instrumentation badly and reports
    # std::variant members as maybe-uninitialized; the unsanitized builds keep the warning.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()

# A library of ours: static, position-independent (the loadable library links it), with an alias.
function(kestrel_library name alias)
  add_library(${name} STATIC ${ARGN})
  add_library(kestrel::${alias} ALIAS ${name})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_features(${name} PUBLIC cxx_std_20)
  kestrel_warnings(${name})
endfunction()

# A GoogleTest executable registered with CTest; LABELS are passed through.
function(kestrel_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  kestrel_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES LABELS "${T_LABELS}")
endfunction()
