# Runs one libFuzzer target for SECONDS on a scratch copy of its seed corpus.
file(REMOVE_RECURSE ${WORK})
file(COPY ${SEEDS}/ DESTINATION ${WORK})
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/../ ${WORK}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzzer found a fault (exit ${rc}); the input is beside ${WORK}")
endif()
