# Warnings on and fatal for our own code.
function(vm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Werror)
endfunction()

# vm_library(NAME SOURCES ... DEPS ...): one library per logic folder; headers are included
# by their path from the repository root ("app/image/radio_image.h").
function(vm_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  vm_warnings(${name})
endfunction()

# vm_executable(NAME SOURCES ... DEPS ...)
function(vm_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  vm_warnings(${name})
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
  gtest_discover_tests(${name} WORKING_DIRECTORY ${VM_APP_DIR} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "VM_APP_DIR=${VM_APP_DIR};QT_QPA_PLATFORM=offscreen")
endfunction()
