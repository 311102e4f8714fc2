# A test that cannot run here: keeps its reason in DIR, as skips.cc does,
# for print_skips.cmake, and says it skipped, for the test's
# SKIP_REGULAR_EXPRESSION.
file(WRITE "${DIR}/${NAME}.txt" "${NAME}: ${REASON}")
message("skipped: ${REASON}")
