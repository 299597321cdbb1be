#!/bin/sh
# Replays each fuzz target's seed corpus, then fuzzes it for a bounded time.
#   run_fuzzers.sh BUILD_DIR SECONDS [TARGET...]     (targets: file stems in tests/fuzz/targets)
# The seed corpus (tests/fuzz/corpus/<target>) is read, never written: inputs the fuzzer finds
# go to BUILD_DIR/fuzz-work/<target>, crashes, leaks and timeouts to BUILD_DIR/fuzz-artifacts/.
# Exits 1 when any replay or run failed.
set -u
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
corpora=$here/../corpus
targets=${*:-$(cd "$build/fuzz" && ls fuzz_* | sed 's/^fuzz_//')}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
failed=""
for name in $targets; do
  binary=$build/fuzz/fuzz_$name
  corpus=$corpora/$name
  work=$build/fuzz-work/$name
  artifacts=$build/fuzz-artifacts/$name
  mkdir -p "$work" "$artifacts" "$corpus"

  echo "== $name: replaying $(ls "$corpus" | wc -l) seed inputs"
  if [ -n "$(ls "$corpus")" ] && ! "$binary" -artifact_prefix="$artifacts/" "$corpus"/* >"$artifacts/replay.log" 2>&1; then
    tail -n 40 "$artifacts/replay.log"
    failed="$failed $name(replay)"
    continue
  fi

  echo "== $name: fuzzing for $seconds s"
  # -timeout: one input taking seconds is a hang; -max_len: a few kilobytes reach every decoder
  # state; -rss_limit_mb: a runaway allocation is a finding, not the machine's end.
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -max_len=4096 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$work" "$corpus" >"$artifacts/fuzz.log" 2>&1; then
    tail -n 60 "$artifacts/fuzz.log"
    failed="$failed $name"
    continue
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done' "$artifacts/fuzz.log" | tr '\n' ' '
  echo
done

if [ -n "$failed" ]; then
  echo "fuzz targets failed:$failed (inputs in $build/fuzz-artifacts/)"
  exit 1
fi
echo "fuzz targets passed: $(echo $targets)"
