# Whether the fuzz targets can be built, and the whole build's instrumentation when they can.
# Sets VM_FUZZ_ENABLED, and VM_FUZZ_SKIPPED (why not) for fuzz/CMakeLists.txt to report.
set(VM_FUZZ_ENABLED OFF)
set(VM_FUZZ_SKIPPED "")
if(NOT VM_FUZZ)
  set(VM_FUZZ_SKIPPED "VM_FUZZ is OFF (configure with the asan preset: cmake --preset asan)")
elseif(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(VM_FUZZ_SKIPPED "libFuzzer needs clang, the compiler is ${CMAKE_CXX_COMPILER_ID} (use the asan preset)")
else()
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=fuzzer")
  check_cxx_source_compiles([[
    #include <cstddef>
    #include <cstdint>
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
  ]] VM_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT VM_HAVE_LIBFUZZER)
    set(VM_FUZZ_SKIPPED "${CMAKE_CXX_COMPILER} cannot link -fsanitize=fuzzer (install libclang-rt-14-dev: scripts/ci-setup.sh)")
  else()
    set(VM_FUZZ_ENABLED ON)
    # Every library is compiled with coverage so that the fuzzer sees into the code it drives.
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()
