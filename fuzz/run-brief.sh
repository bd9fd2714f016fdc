#!/usr/bin/env bash
# Brief coverage-guided fuzzing of every target, about 20 s each (override
# with TAMB_FUZZ_SECONDS), from a scratch copy of the committed corpus, which
# is never grown. Fails on any crash, leak, timeout or oversized allocation,
# and keeps the input that caused it in build/fuzz/findings/. Then runs the
# end-to-end tests under valgrind (fuzz/memcheck.sh).
# Without clang++-14 it says so and skips the fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++-14 > /dev/null; then
  echo "fuzz: clang++-14 not found, skipped the brief fuzzing runs"
  exec fuzz/memcheck.sh
fi
seconds=${TAMB_FUZZ_SECONDS:-20}
build=build/fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DTAMB_FUZZ=ON > /dev/null
cmake --build "$build" -j"$(nproc)" --target read_fuzz write_fuzz swap_fuzz text_fuzz check_fuzz \
  > /dev/null

work=$(mktemp -d "$build/brief.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
for target in read write swap text check; do
  mkdir -p "$work/$target" "$work/artifacts"
  if [ "$target" = check ]; then # --check over the seeds of every input file
    cp fuzz/corpus/read/* fuzz/corpus/text/* "$work/$target/"
  else
    cp fuzz/corpus/"$target"/* "$work/$target/"
  fi
  # -malloc_limit_mb: any single allocation above it is a finding.
  if "$build/fuzz/${target}_fuzz" "$work/$target" -dict=fuzz/tamb.dict \
      -max_total_time="$seconds" -timeout=10 -malloc_limit_mb=512 -rss_limit_mb=2048 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      > "$work/$target.log" 2>&1; then
    echo "fuzz: $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$target.log" | tail -1)"
  else
    status=1
    echo "fuzz: $target: FINDING"
    tail -n 40 "$work/$target.log"
    mkdir -p "$build/findings"
    cp "$work"/artifacts/* "$build/findings/" 2> /dev/null || true
    echo "fuzz: inputs kept in $build/findings/: $(ls "$work/artifacts")"
  fi
done
fuzz/memcheck.sh || status=1
exit $status
