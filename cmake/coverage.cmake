# The coverage preset: every host test runs between two fixture steps. The first clears
# the counts of earlier runs; the last prints the per-file line and branch tables for the
# deliverables and fails under the thresholds in tests/coverage/check.sh. Run the whole
# suite (`ctest --preset coverage`): a subset leaves branches unreached and fails.
# Counters updated atomically: the service tests run several threads through the same code.
# No debug information: gcov reads its own notes, and the build is faster without it.
add_compile_options(--coverage -fprofile-update=atomic -g0)
add_link_options(--coverage)
set(PX71_TEST_PROPERTIES PROPERTIES FIXTURES_REQUIRED px71_coverage)

function(px71_add_coverage_check)
    add_test(NAME coverage_reset
             COMMAND find ${PROJECT_BINARY_DIR} -name *.gcda -delete)
    set_tests_properties(coverage_reset PROPERTIES FIXTURES_SETUP px71_coverage)
    add_test(NAME coverage_check
             COMMAND ${PROJECT_SOURCE_DIR}/tests/coverage/check.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
    set_tests_properties(coverage_check PROPERTIES FIXTURES_CLEANUP px71_coverage RUN_SERIAL TRUE)
endfunction()
