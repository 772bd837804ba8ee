# Helpers shared by tests/, fuzz/ and bench/.

# kelvane_add_gtest(<name> SOURCES <files...> LIBS <targets...> [ENV <VAR=value>...] [LABELS <labels...>])
# One GoogleTest program, run by CTest as one test. Tests find the source tree and the build
# tree through KELVANE_SOURCE_DIR and KELVANE_BINARY_DIR.
function(kelvane_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    KELVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KELVANE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
    ENVIRONMENT "${T_ENV}")
endfunction()

# kelvane_add_fuzzer(<name> SOURCES <files...> LIBS <targets...>)
# A libFuzzer entry point (LLVMFuzzerTestOneInput). With BUILD_TESTING a replay program feeds
# each file of fuzz/corpus/<name>/ through it, run by CTest, so that the targets stay alive;
# with KELVANE_FUZZ=ON (clang) a real libFuzzer program <name>-fuzzer is built beside it.
function(kelvane_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  set(corpus ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  if(BUILD_TESTING)
    add_executable(${name}-replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    target_link_libraries(${name}-replay PRIVATE ${F_LIBS})
    set_target_properties(${name}-replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
    add_test(NAME test_fuzz_replay_${name} COMMAND ${name}-replay ${corpus})
    set_tests_properties(test_fuzz_replay_${name} PROPERTIES LABELS fuzz TIMEOUT 300)
  endif()
  if(KELVANE_FUZZ)
    add_executable(${name}-fuzzer ${F_SOURCES})
    target_link_libraries(${name}-fuzzer PRIVATE ${F_LIBS})
    target_compile_options(${name}-fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_options(${name}-fuzzer PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name}-fuzzer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
  endif()
endfunction()
