#!/usr/bin/env bash
# Every test: the C++ suite through CTest (a plain build and one under AddressSanitizer and
# UndefinedBehaviorSanitizer), a bounded run of the fuzz targets, then the Python suite against the installed
# module, the wheel and the typing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake=.venv/bin/cmake
scalar_suites='AntiAliasing.*:ColorDelta.*:CountDiffs.*:DiffImage.*:DiffRows.*:HeavyRows.*:Property.*:Png*.*:DeflateJoin.*:Resize*.*:Thumbnail*.*'
jobs=$(nproc 2>/dev/null || echo 2)
for variant in plain sanitize; do
  dir=build/tests-$variant
  sanitize=OFF
  [ "$variant" = sanitize ] && sanitize=ON
  "$cmake" -S . -B "$dir" -G Ninja -DQUILLFEN_BUILD_MODULE=OFF -DQUILLFEN_BUILD_TESTS=ON \
    -DQUILLFEN_SANITIZE=$sanitize -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
  "$cmake" --build "$dir" -j "$jobs"
  echo "== C++ tests ($variant)"
  ASAN_OPTIONS=detect_leaks=1 "$(dirname "$cmake")/ctest" --test-dir "$dir" --output-on-failure -j "$jobs"
  # The pixel, PNG and resampling suites once more on the scalar twins of the SIMD kernels.
  echo "== C++ tests ($variant, scalar kernels)"
  QUILLFEN_SCALAR=1 ASAN_OPTIONS=detect_leaks=1 "$dir/core_tests" --gtest_brief=1 \
    --gtest_filter="$scalar_suites"
  if [ "$variant" = sanitize ]; then
    # The leak checks above only mean something if LeakSanitizer runs here (it does not under ptrace, for one).
    canary=$(ASAN_OPTIONS=detect_leaks=1 "$dir/core_tests" --gtest_also_run_disabled_tests \
      --gtest_filter=LeakCheck.DISABLED_LeaksOnPurpose 2>&1 || true)
    if ! grep -q "LeakSanitizer: detected memory leaks" <<<"$canary"; then
      echo "LeakSanitizer is not active: the C++ suite's leak checks did not run" >&2
      exit 1
    fi
  fi
done

# The fuzz targets for a bounded time each (longer runs: make fuzz FUZZ_SECONDS=...).
echo "== Fuzzing (bounded)"
nice scripts/fuzz.sh 15

# The manylinux wheel, which a test installs into a clean environment.
echo "== wheel"
scripts/wheel.sh >/dev/null

# Two runs: each suite has a conftest.py of its own, and both are imported under the name "conftest".
echo "== Python tests (engine)"
.venv/bin/python -m pytest -q tests/python
echo "== Python tests (product layer)"
.venv/bin/python -m pytest -q tests/tools
echo "== Python pixel and PNG tests (scalar kernels)"
QUILLFEN_SCALAR=1 .venv/bin/python -m pytest -q -p no:cacheprovider tests/python/test_pixel.py tests/python/test_png.py

# The type stubs against the modules as built, and the examples and the package under mypy --strict.
echo "== typing"
.venv/bin/python -m mypy.stubtest --allowlist tests/tools/stubtest_allowlist.txt quillfen quillfen_tools
.venv/bin/python -m mypy --strict --cache-dir build/mypy-cache examples python/quillfen_tools

# The Python suite once more against a module built with AddressSanitizer and UndefinedBehaviorSanitizer, so the
# bindings and every path the surface reaches are checked too. The sanitizer runtimes are preloaded into the
# interpreter, which is not built with them; any report fails the run.
dir=build/module-sanitize
"$cmake" -S . -B "$dir" -G Ninja -DQUILLFEN_BUILD_MODULE=ON -DQUILLFEN_SANITIZE=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
"$cmake" --build "$dir" -j "$jobs" --target quillfen
echo "== Python tests (sanitize)"
PYTHONPATH="$PWD/$dir" LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python
