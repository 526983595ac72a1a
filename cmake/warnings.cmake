# Flags every target of the project shares. Distances must be bit-reproducible,
# so no contraction into FMA and never -ffast-math or -march=native here.
add_compile_options(-Wall -Wextra -ffp-contract=off -fno-fast-math)

# tarnvault_add_test(name SOURCES ... LIBS ...): one GoogleTest executable.
function(tarnvault_add_test name)
  # The fuzzing build exists for its fuzz binaries alone; the wheel build
  # builds no tests at all.
  if(TARNVAULT_FUZZ OR NOT TARNVAULT_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
endfunction()
