#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and UBSan, and runs each for a bounded
# time from its seeds (made by tests/fuzz/make_corpus.py), the checked-in reproducers of past faults and the
# corpus earlier runs have grown in build/fuzz/corpus.
#
#   scripts/fuzz.sh SECONDS [TARGET...]   each target for at most SECONDS (default: every target)
#   FUZZ_RUNS=N                           also stop a target after N inputs
#
# A crash, a leak, a timeout or an allocation past the limit fails the run; the input that caused it is left in
# build/fuzz/artifacts/TARGET/ (replay it with build/fuzz/tests/fuzz/fuzz_TARGET FILE). Run it under nice on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=${*:-png_pair thumbnail from_rgba alignment}
runs=${FUZZ_RUNS:--1}

cmake=.venv/bin/cmake
dir=build/fuzz
CXX=clang++ "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUILLFEN_BUILD_FUZZ=ON \
  -DQUILLFEN_BUILD_MODULE=OFF -DQUILLFEN_BUILD_TESTS=OFF -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
"$cmake" --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target $(printf 'fuzz_%s ' $targets)

rm -rf "$dir/seeds"
.venv/bin/python tests/fuzz/make_corpus.py "$dir/seeds"

failed=""
for target in $targets; do
  corpus="$dir/corpus/$target"
  artifacts="$dir/artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  inputs=("$corpus" "$dir/seeds/$target")
  [ -d "tests/fuzz/regressions/$target" ] && inputs+=("tests/fuzz/regressions/$target")
  # Longest input: enough for every path of the target; longer inputs only slow the mutations down.
  dict=()
  case $target in
    png_pair | thumbnail) dict=(-dict=tests/fuzz/png.dict) max_len=16384 ;;
    from_rgba) max_len=4096 ;;
    *) max_len=1024 ;;
  esac
  log="$dir/$target.log"
  echo "== fuzz $target (${seconds}s)"
  # Limits: no single allocation above 512 MiB and no more than 2.5 GiB resident, since a small input must never
  # make the engine allocate that much; 20 s per input at most.
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$dir/tests/fuzz/fuzz_$target" "${dict[@]}" -max_total_time="$seconds" -runs="$runs" -max_len="$max_len" \
      -malloc_limit_mb=512 -rss_limit_mb=2560 -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "${inputs[@]}" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "   $execs inputs, $rate per second, corpus $(ls "$corpus" | wc -l) files"
  else
    failed="$failed $target"
    grep -E "^==[0-9]+==ERROR|^SUMMARY|runtime error|Test unit written|out-of-memory|timeout" "$log" | head -20 || true
    echo "   FAILED: full log in $log, reproducer in $artifacts"
  fi
done
if [ -n "$failed" ]; then
  echo "fuzz: failures in:$failed" >&2
  exit 1
fi
