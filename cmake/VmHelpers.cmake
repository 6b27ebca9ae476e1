# Warnings on and fatal for our own code.
function(vm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Werror)
endfunction()

# Clang checks that guarded state is touched only with its lock held (the annotations of
# driver/platform/thread_safety.h); gcc has no such analysis. Clang 14 does not see through a local
# reference (`SerialState& s = dev.serial;` then `s.readCount` under `dev.serial.receiveLock`),
# so the check matches a lock by its member name within a function rather than by the whole
# expression (-Wno-thread-safety-precise): state touched with no lock of its guard's name held is
# still an error. Libraries and programs only: tests look at a device's state from outside once
# it has settled.
function(vm_lock_analysis target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety>
      $<$<COMPILE_LANGUAGE:CXX>:-Werror=thread-safety>
      $<$<COMPILE_LANGUAGE:CXX>:-Wno-thread-safety-precise>)
  endif()
endfunction()

# vm_library(NAME SOURCES ... DEPS ...): one library per logic folder; headers are included
# by their path from the repository root ("app/image/radio_image.h").
function(vm_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  vm_warnings(${name})
  vm_lock_analysis(${name})
endfunction()

# vm_executable(NAME SOURCES ... DEPS ...)
function(vm_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  vm_warnings(${name})
  vm_lock_analysis(${name})
endfunction()

# vm_test(NAME SOURCES ... DEPS ...): a GoogleTest executable registered with CTest.
# Tests run in the application folder so that files beside the executables are found.
function(vm_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  vm_warnings(${name})
  vm_test_labels(${name} labels)
  gtest_discover_tests(${name} WORKING_DIRECTORY ${VM_APP_DIR} DISCOVERY_TIMEOUT 60
    TEST_LIST ${name}_TESTS)
  # The discovered tests' list-valued properties are set by a file CTest reads after the
  # discovery's own (gtest_discover_tests would split them into separate arguments).
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
  file(GENERATE OUTPUT ${file} CONTENT "if(${name}_TESTS)
  set_tests_properties(\${${name}_TESTS} PROPERTIES
    ENVIRONMENT [==[VM_APP_DIR=${VM_APP_DIR};QT_QPA_PLATFORM=offscreen]==]
    LABELS [==[${labels}]==])
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

# A test executable's labels: its folder below tests/ ("app/link") and its own name, so that
# `ctest -L` picks tests by folder or by executable. The executable is also recorded for
# VM_SELECTED_TESTS (vm_selected_tests_target).
function(vm_test_labels name out)
  file(RELATIVE_PATH group ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  set(${out} "${group};${name}" PARENT_SCOPE)
  set_property(GLOBAL APPEND PROPERTY VM_TEST_EXECUTABLES "${name}")
  set_property(GLOBAL PROPERTY VM_TEST_GROUP_${name} "${group}")
endfunction()

# With VM_SELECTED_TESTS (a regular expression over the labels above), the target
# `selected_tests` builds only the test executables it selects (and what they need), for a
# build that runs only those: `ctest -L <the same expression>`.
function(vm_selected_tests_target)
  if(NOT VM_SELECTED_TESTS)
    return()
  endif()
  get_property(all GLOBAL PROPERTY VM_TEST_EXECUTABLES)
  set(selected)
  foreach(name IN LISTS all)
    get_property(group GLOBAL PROPERTY VM_TEST_GROUP_${name})
    if(name MATCHES "${VM_SELECTED_TESTS}" OR group MATCHES "${VM_SELECTED_TESTS}")
      list(APPEND selected ${name})
    endif()
  endforeach()
  if(NOT selected)
    message(FATAL_ERROR "VM_SELECTED_TESTS (${VM_SELECTED_TESTS}) selects no test executable")
  endif()
  list(JOIN selected ", " names)
  message(STATUS "Selected tests: ${names}")
  add_custom_target(selected_tests DEPENDS ${selected})
endfunction()
