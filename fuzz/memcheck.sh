#!/usr/bin/env bash
# The end-to-end tests under valgrind memcheck: cli_test runs the tamb binary
# for every case, and --trace-children follows each exec'd tamb (not the
# shell and the pseudo-terminal program that some cases run). Fails on any
# memory error or leak in the test process or in any tamb run, and prints the
# report. Leaves out the tests whose time goes to waiting or to other
# programs (the progress line's, the JSON schema's, two runs taking turns),
# which the sanitizer build runs. About 2 minutes, on top of building
# cli_test and tamb.
# Without valgrind it says so and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v valgrind > /dev/null; then
  echo "memcheck: valgrind not found, skipped"
  exit 0
fi
# TAMB_MEMCHECK_BUILD names a configured build dir with the tests to reuse
# (the test command's release build) instead of a build of its own.
build=${TAMB_MEMCHECK_BUILD:-build/memcheck}
[ -n "${TAMB_MEMCHECK_BUILD:-}" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j"$(nproc)" --target cli_test tamb > /dev/null

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The report goes to a pipe, not a file: some cases cap the size of the files
# that tamb may write, and the cap would apply to a log file too.
exec 9> >(cat > "$log")
drain=$!
status=0
valgrind -q --trace-children=yes --trace-children-skip='*/script,*/sh' --vgdb=no --error-exitcode=99 --leak-check=full \
  --log-fd=9 "$build/tests/cli_test" --gtest_brief=1 \
  --gtest_filter=-cli.progress_on_a_terminal:cli.json_listings_meet_the_schema:cli.two_runs_on_one_output_take_turns || status=$?
exec 9>&-
wait "$drain" # until the pipe has drained into the log
if [ "$status" -ne 0 ] || [ -s "$log" ]; then
  cat "$log"
  echo "memcheck: FAILED (status $status)"
  exit 1
fi
echo "memcheck: cli_test and every tamb run it made are clean"
