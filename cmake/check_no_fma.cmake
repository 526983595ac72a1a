# Fails when the disassembly of LIBRARY contains a fused multiply-add: one
# rounding instead of two would change distance bits.
# Usage: cmake -DOBJDUMP=objdump -DLIBRARY=<archive or object> -P check_no_fma.cmake
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${LIBRARY}
                OUTPUT_VARIABLE disassembly RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${LIBRARY}")
endif()
if(NOT disassembly MATCHES "vaddps")
  message(FATAL_ERROR "no vector additions found in ${LIBRARY}: wrong file?")
endif()
string(REGEX MATCHALL "[^\n]*v(fmadd|fmsub|fnmadd|fnmsub|fmaddsub|fmsubadd)[0-9a-z]*[^\n]*" fused "${disassembly}")
if(fused)
  list(LENGTH fused count)
  list(GET fused 0 first)
  message(FATAL_ERROR "${count} fused multiply-add instructions in ${LIBRARY}, e.g.:${first}")
endif()
message(STATUS "no fused multiply-add in ${LIBRARY}")
