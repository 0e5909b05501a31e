# Small helpers shared by every area's CMakeLists.txt.
find_package(Threads REQUIRED)

# vy_options: what every target of the project is built with, linked by each
# target rather than set globally: the language level and this build's
# sanitizers. vy_sanitizers alone serves the C programs.
add_library(vy_sanitizers INTERFACE)
if(ENABLE_SANITIZERS)
  target_compile_options(vy_sanitizers INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=undefined)
  target_link_options(vy_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(ENABLE_TSAN)
  target_compile_options(vy_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(vy_sanitizers INTERFACE -fsanitize=thread)
endif()
add_library(vy_options INTERFACE)
target_compile_features(vy_options INTERFACE cxx_std_17)
target_link_libraries(vy_options INTERFACE vy_sanitizers)

# vy_warnings: the warnings our own code is kept free of (gcc, clang, mingw);
# errors with ENABLE_WERROR, so a new warning fails the test run.
add_library(vy_warnings INTERFACE)
target_compile_options(vy_warnings INTERFACE -Wall -Wextra $<$<BOOL:${ENABLE_WERROR}>:-Werror>)

# vy_add_test(NAME name SOURCES ... [LIBS ...] LABELS ...)
# One GoogleTest executable registered with ctest as one test, under its area's
# label (ctest -L AREA must find every test of an area, so the label is required).
function(vy_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    message(FATAL_ERROR "vy_add_test(${T_NAME}): give the test its area's label (LABELS)")
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} vy_options GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
endfunction()

# vy_add_fuzzer(NAME name SOURCES ... [LIBS ...])
# A libFuzzer target, built only with ENABLE_FUZZERS (clang). Its name must start
# with fuzz_ so that scripts/test.d/30-fuzz.sh finds and runs it.
function(vy_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT ENABLE_FUZZERS)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS} vy_options)
  add_dependencies(fuzzers ${F_NAME})
endfunction()
if(ENABLE_FUZZERS)
  add_custom_target(fuzzers)  # builds every fuzz_* target, nothing else
endif()

# vy_add_bench(NAME name SOURCES ... [LIBS ...]): a Google Benchmark program
# (bench/ is added only with ENABLE_BENCHMARKS).
function(vy_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} vy_options benchmark::benchmark benchmark::benchmark_main)
endfunction()
