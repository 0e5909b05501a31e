# Small helpers shared by every area's CMakeLists.txt.
find_package(Threads REQUIRED)

# proj_options: what every target of the project is built with, linked by each
# target rather than set globally: the language level and this build's
# sanitizers. proj_sanitizers alone serves the C programs.
add_library(proj_sanitizers INTERFACE)
if(ENABLE_SANITIZERS)
  target_compile_options(proj_sanitizers INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=undefined)
  target_link_options(proj_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(ENABLE_TSAN)
  target_compile_options(proj_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(proj_sanitizers INTERFACE -fsanitize=thread)
endif()
add_library(proj_options INTERFACE)
target_compile_features(proj_options INTERFACE cxx_std_17)
target_link_libraries(proj_options INTERFACE proj_sanitizers)

# proj_warnings: the warnings our own code is kept free of (gcc, clang, mingw);
# errors with ENABLE_WERROR, so a new warning fails the test run.
add_library(proj_warnings INTERFACE)
target_compile_options(proj_warnings INTERFACE -Wall -Wextra $<$<BOOL:${ENABLE_WERROR}>:-Werror>)

# proj_add_test(NAME name SOURCES ... [LIBS ...] LABELS ...)
# One GoogleTest executable registered with ctest as one test, under its area's
# label (ctest -L AREA must find every test of an area, so the label is required).
function(proj_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    message(FATAL_ERROR "proj_add_test(${T_NAME}): give the test its area's label (LABELS)")
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} proj_options GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
endfunction()

# proj_add_fuzzer(NAME name SOURCES ... [LIBS ...])
# A libFuzzer target, built only with ENABLE_FUZZERS (clang). Its name must start
# with fuzz_ so that scripts/test.d/30-fuzz.sh finds and runs it.
function(proj_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT ENABLE_FUZZERS)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS} proj_options)
  add_dependencies(fuzzers ${F_NAME})
endfunction()
if(ENABLE_FUZZERS)
  add_custom_target(fuzzers)  # builds every fuzz_* target, nothing else
endif()

# proj_add_bench(NAME name SOURCES ... [LIBS ...]): a Google Benchmark program
# (bench/ is added only with ENABLE_BENCHMARKS).
function(proj_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} proj_options benchmark::benchmark benchmark::benchmark_main)
endfunction()

# proj_gl_test_env(out_var): the environment of tests whose processes use GL.
# Leak checking in the sanitizer build: the GL vendor library and the Mesa
# driver are preloaded (after the sanitizer runtime, which must come first) so
# they stay loaded until the leak check and their allocations are attributed to
# them; tests/common/lsan.supp then names the GL libraries whose process-lifetime
# allocations are not leaks of ours.
function(proj_gl_test_env out_var)
  set(env "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/common/lsan.supp:print_suppressions=0")
  if(ENABLE_SANITIZERS)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so OUTPUT_VARIABLE asan_lib
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    find_file(glx_vendor_lib libGLX_mesa.so.0 PATHS /usr/lib/x86_64-linux-gnu /usr/lib64 /usr/lib)
    find_file(mesa_driver_lib swrast_dri.so PATHS /usr/lib/x86_64-linux-gnu/dri /usr/lib64/dri /usr/lib/dri)
    if(EXISTS "${asan_lib}" AND glx_vendor_lib AND mesa_driver_lib)
      list(APPEND env "LD_PRELOAD=${asan_lib}:${glx_vendor_lib}:${mesa_driver_lib}")
    endif()
  endif()
  set(${out_var} "${env}" PARENT_SCOPE)
endfunction()
