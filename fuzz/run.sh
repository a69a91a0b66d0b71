#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time.
#
#   fuzz/run.sh [TARGET...]      TARGET: settings_file command definition control_line
#                                telnet http_request (default: all six, one after the
#                                other)
#
# Environment:
#   FUZZ_SECONDS  seconds per target (default 5)
#   FUZZ_BUILD    build directory (default build-fuzz, relative to the source root)
#   FUZZ_JOBS     parallel build jobs (default: all cores)
#   CXX           compiler for a build directory made here (default clang++)
#
# Each target starts from its seed corpus (fuzz/corpus/TARGET, never written)
# and from what earlier runs in the same build directory found
# ($FUZZ_BUILD/fuzz/run/TARGET/corpus). A crash, a sanitizer report, a leak, a
# time-out or a broken invariant fails the run; the input that caused it is
# kept as $FUZZ_BUILD/fuzz/run/TARGET/crash-* (or leak-*, timeout-*) and the
# report is in log.txt beside it. Prints the executions of each target.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-5}
build=${FUZZ_BUILD:-build-fuzz}
[[ $build = /* ]] || build=$root/$build
jobs=${FUZZ_JOBS:-$(nproc)}
all_targets=(settings_file command definition control_line telnet http_request)

if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "fuzz/run.sh: FUZZ_SECONDS must be a whole number of seconds, at least 1" >&2
  exit 2
fi
targets=("$@")
((${#targets[@]})) || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  if [[ ! -f $root/fuzz/${t}_fuzzer.cc ]]; then
    echo "fuzz/run.sh: no fuzz target '$t' (targets: ${all_targets[*]})" >&2
    exit 2
  fi
done

# Longest input per target: the settings file has 19 lines of at most 99
# characters; the control line needs room for lines past 997 characters; a
# request head needs room past its 4096-byte limit.
max_len() {
  case $1 in
    definition) echo 256 ;;
    http_request) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

echo "== building fuzz targets in $build"
CXX=${CXX:-clang++} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQMX_FUZZ=ON -DQMX_BUILD_UI=OFF -DQMX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# A target's temporary files (the command target's working directory, where
# `save` writes qmx.txt) go to tmpfs when there is one: its fsync is free.
tmp_base=$build/fuzz/run
[[ -d /dev/shm && -w /dev/shm ]] && tmp_base=/dev/shm
tmp=""
trap '[[ -z $tmp ]] || rm -rf "$tmp"' EXIT

failed=()
summary=()
for t in "${targets[@]}"; do
  run=$build/fuzz/run/$t
  mkdir -p "$run/corpus"
  rm -f "$run"/crash-* "$run"/leak-* "$run"/timeout-* "$run"/oom-*
  tmp=$(mktemp -d "$tmp_base/qmx-fuzz-$t.XXXXXX")
  log=$run/log.txt
  echo "== $t: ${seconds}s"
  status=0
  # Paths are absolute: the command target changes its working directory.
  TMPDIR=$tmp "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$t")" \
    -artifact_prefix="$run/" "$run/corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  rm -rf "$tmp"
  tmp=""
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if ((status != 0)); then
    echo "-- $t FAILED (exit $status); end of $log:"
    tail -n 60 "$log"
    ls "$run"/crash-* "$run"/leak-* "$run"/timeout-* "$run"/oom-* 2>/dev/null || true
    failed+=("$t")
    summary+=("$(printf '%-14s %12s  FAILED' "$t" "${execs:-?}")")
  else
    summary+=("$(printf '%-14s %12s  ok' "$t" "${execs:-?}")")
  fi
done

echo "== fuzz executions (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "fuzz/run.sh: failed: ${failed[*]}" >&2
  exit 1
fi
