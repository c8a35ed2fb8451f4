# One time-boxed fuzz run, for ctest (see sovra_fuzz_target in
# CMakeLists.txt): copies the seeds into the run's own corpus, then runs the
# fuzzer on it. Fails when the fuzzer finds a crash, a leak or a timeout.
foreach(var FUZZER SEEDS CORPUS ARTIFACTS SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_fuzzer.cmake: ${var} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY ${CORPUS} ${ARTIFACTS})
file(COPY ${SEEDS}/ DESTINATION ${CORPUS})

set(args -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
  -artifact_prefix=${ARTIFACTS}/)
if(DICT)
  list(APPEND args -dict=${DICT})
endif()
execute_process(COMMAND ${FUZZER} ${args} ${CORPUS} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${rc}); the input that did it is in ${ARTIFACTS}")
endif()
