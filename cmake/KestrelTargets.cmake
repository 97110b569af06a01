# Helpers shared by every target of the project.

# Warnings on our own code only (third-party headers come in as SYSTEM), as errors when
# KESTREL_WERROR is on.
function(kestrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(KESTREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
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
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON EXPORT_NAME ${alias})
  target_compile_features(${name} PUBLIC cxx_std_20)
  kestrel_warnings(${name})
endfunction()

# A GoogleTest executable registered with CTest; LABELS, and any other test PROPERTIES (a
# fixture, an environment), are passed through to every test it holds.
function(kestrel_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  kestrel_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES LABELS "${T_LABELS}" ${T_PROPERTIES})
endfunction()

# Makes DIR the public include folder of TARGET: used from here while building, from the
# installed include folder by the exported target, and installed as a whole.
function(kestrel_public_headers target dir)
  get_target_property(type ${target} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  endif()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${dir}>
                                                $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  get_property(installed GLOBAL PROPERTY KESTREL_PUBLIC_HEADER_DIRS)
  if(NOT dir IN_LIST installed)
    set_property(GLOBAL APPEND PROPERTY KESTREL_PUBLIC_HEADER_DIRS ${dir})
    install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
  endif()
endfunction()
