#!/usr/bin/env bash
# Runs every test of the repository (or only the stages named as arguments):
#   1. release  - Release build, the whole ctest suite, then the C++ package:
#                 installed into a throw-away prefix, a consumer project
#                 (tests/consumer) built against it with CMake and with
#                 pkg-config, and run
#   2. python   - builds and installs the korvane module into .venv, runs pytest
#   3. asan     - AddressSanitizer + UndefinedBehaviorSanitizer build, ctest
#   4. tsan     - ThreadSanitizer build, ctest
# Every stage runs even when an earlier one fails; a summary follows and the
# exit status is non-zero when any stage failed. Build trees live in build/
# and are reused, so re-runs are incremental.
set -euo pipefail

# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

bash "$ROOT/scripts/setup.sh"

CTEST_TIMEOUT="${KORVANE_TEST_TIMEOUT:-900}"  # seconds per test

SAN_ASAN_OPTIONS="halt_on_error=1:print_stacktrace=1:detect_leaks=1"
SAN_UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
SAN_TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

STAGE_NAMES=()
STAGE_RESULTS=()
STAGE_TIMES=()
STAGE_NOTES=()
readonly SKIPPED=200

banner() {
  echo
  echo "==================== $* ===================="
}

# ---------------------------------------------------------------- helpers

# sanitizer_launcher FLAG: checks that a program built with -fsanitize=FLAG
# runs on this machine. Prints nothing when it runs directly, or the prefix
# command that makes it run (address-space randomisation disabled with
# setarch -R: some kernels use more mmap randomisation than the sanitizer
# runtimes accept and they stop with "unexpected memory mapping").
sanitizer_launcher() {
  local flag="$1"
  local dir="$ROOT/build/sanitizer-probe"
  mkdir -p "$dir"
  cat >"$dir/probe.cpp" <<'EOF'
#include <atomic>
#include <thread>
#include <vector>
int main() {
  std::atomic<int> n{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&] { for (int j = 0; j < 1000; ++j) ++n; });
  for (auto& t : threads) t.join();
  return n.load() == 4000 ? 0 : 1;
}
EOF
  local exe="$dir/probe-$flag"
  if ! "${CXX:-c++}" -std=c++20 -g -pthread -fsanitize="$flag" "$dir/probe.cpp" -o "$exe" \
    >"$dir/compile-$flag.log" 2>&1; then
    echo "cannot build a -fsanitize=$flag program:" >&2
    cat "$dir/compile-$flag.log" >&2
    return 1
  fi
  if "$exe" >"$dir/run-$flag.log" 2>&1; then
    return 0
  fi
  local arch
  arch="$(uname -m)"
  if setarch "$arch" -R "$exe" >"$dir/run-setarch-$flag.log" 2>&1; then
    echo "setarch $arch -R"
    return 0
  fi
  echo "a -fsanitize=$flag program does not run on this machine, even under setarch -R:" >&2
  cat "$dir/run-$flag.log" "$dir/run-setarch-$flag.log" >&2
  return 1
}

# ctest_tree NAME [LAUNCHER...]: runs the ctest suite of build/NAME; fails
# when a test fails or no test exists. Output also goes to build/NAME/ctest.log.
ctest_tree() {
  local name="$1"
  shift
  "$@" ctest --test-dir "$ROOT/build/$name" --output-on-failure -j "$JOBS" \
    --no-tests=error --timeout "$CTEST_TIMEOUT" 2>&1 | tee "$ROOT/build/$name/ctest.log"
}

ctest_note() {
  local log="$ROOT/build/$1/ctest.log"
  [[ -f "$log" ]] && grep -Eo '[0-9]+% tests passed(, [0-9]+ tests? failed)? out of [0-9]+' "$log" | tail -n 1 || true
}

# ---------------------------------------------------------------- stages

stage_release() {
  rm -f "$ROOT/build/release/ctest.log"
  configure_tree release
  build_tree release
  ctest_tree release
  consumer_check
}

# consumer_check: installs build/release into a fresh prefix and builds
# tests/consumer against it, once through find_package and once through
# pkg-config, running each program.
consumer_check() {
  local dir="$ROOT/build/consumer"
  local prefix="$dir/prefix"
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "installing the C++ package into $prefix"
  cmake --install "$ROOT/build/release" --prefix "$prefix" >"$dir/install.log"
  cmake -S "$ROOT/tests/consumer" -B "$dir/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" --log-level=WARNING
  cmake --build "$dir/cmake"
  "$dir/cmake/korvane_consumer"

  local pc
  pc="$(find "$prefix" -name korvane.pc -print -quit)"
  [[ -n "$pc" ]] || { echo "korvane.pc was not installed" >&2; return 1; }
  local flags
  # --static: the library is static, so its private dependencies (hiredis)
  # belong on the link line too.
  flags="$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --static --cflags --libs korvane)"
  # shellcheck disable=SC2086  # pkg-config prints a word list
  "${CXX:-c++}" -std=c++20 -O2 "$ROOT/tests/consumer/main.cpp" -o "$dir/consumer-pc" $flags
  "$dir/consumer-pc"
  echo "consumer builds against the installed package (CMake and pkg-config): OK"
}

stage_asan() {
  rm -f "$ROOT/build/asan/ctest.log"
  export ASAN_OPTIONS="$SAN_ASAN_OPTIONS"
  export UBSAN_OPTIONS="$SAN_UBSAN_OPTIONS"
  local launcher
  launcher="$(sanitizer_launcher address,undefined)"
  if [[ -n "$launcher" ]]; then echo "running the asan tree under: $launcher"; fi
  configure_tree asan
  build_tree asan
  # shellcheck disable=SC2086  # the launcher is a word list
  ctest_tree asan $launcher
}

stage_tsan() {
  rm -f "$ROOT/build/tsan/ctest.log"
  export TSAN_OPTIONS="$SAN_TSAN_OPTIONS"
  local launcher
  launcher="$(sanitizer_launcher thread)"
  if [[ -n "$launcher" ]]; then echo "running the tsan tree under: $launcher"; fi
  configure_tree tsan
  build_tree tsan
  # shellcheck disable=SC2086  # the launcher is a word list
  ctest_tree tsan $launcher
}

# >>> Python tests >>>
# Builds the korvane extension module with its scikit-build-core project,
# installs it into .venv and runs pytest from the test directory, so that the
# installed module (not the source tree) is imported.
run_python_tests() {
  mkdir -p "$ROOT/build"
  rm -f "$ROOT/build/pytest.log"
  if [[ ! -f "$ROOT/lib/python/CMakeLists.txt" ]]; then
    echo "There is no Python module yet (lib/python/CMakeLists.txt is absent); no Python tests to run."
    exit "$SKIPPED"
  fi
  # The build tools are already in .venv (setup.sh), so build without an
  # isolated environment; a fixed build directory keeps rebuilds incremental.
  "$ROOT/.venv/bin/pip" install --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir="$ROOT/build/python" "$ROOT"
  (cd /tmp && "$ROOT/.venv/bin/python" -c 'import korvane; print("testing korvane", getattr(korvane, "version", lambda: "?")(), "from", korvane.__file__)')
  cd "$ROOT/lib/python/tests"
  local rc=0
  "$ROOT/.venv/bin/python" -m pytest -q -p no:cacheprovider . 2>&1 | tee "$ROOT/build/pytest.log" || rc=$?
  if ((rc == 5)); then
    echo "pytest collected no tests" >&2
  fi
  return "$rc"
}
# <<< Python tests <<<

# ---------------------------------------------------------------- main

# run_stage NAME FUNCTION: runs the stage in a subshell with errexit, records
# its result and duration.
run_stage() {
  local name="$1" fn="$2" start=$SECONDS rc
  banner "$name"
  set +e
  (
    set -euo pipefail
    "$fn"
  )
  rc=$?
  set -e
  local result note=""
  case "$rc" in
    0) result="PASS" ;;
    "$SKIPPED") result="SKIP" ;;
    *) result="FAIL" ;;
  esac
  case "$name" in
    release | asan | tsan) note="$(ctest_note "$name")" ;;
    python)
      if ((rc != SKIPPED)) && [[ -f "$ROOT/build/pytest.log" ]]; then
        note="$(grep -E '^(=+ )?[0-9]+ (passed|failed|error)|no tests ran' "$ROOT/build/pytest.log" | tail -n 1 || true)"
      fi
      ;;
  esac
  if ((rc != 0 && rc != SKIPPED)); then note="${note:+$note; }exit status $rc"; fi
  STAGE_NAMES+=("$name")
  STAGE_RESULTS+=("$result")
  STAGE_TIMES+=("$((SECONDS - start))s")
  STAGE_NOTES+=("$note")
}

ALL_STAGES=(release python asan tsan)
SELECTED=("$@")
((${#SELECTED[@]} > 0)) || SELECTED=("${ALL_STAGES[@]}")
for stage in "${SELECTED[@]}"; do
  case "$stage" in
    release | python | asan | tsan) ;;
    *)
      echo "usage: $0 [release|python|asan|tsan]...  (default: all)" >&2
      exit 2
      ;;
  esac
done

for stage in "${SELECTED[@]}"; do
  case "$stage" in
    release) run_stage release stage_release ;;
    python) run_stage python run_python_tests ;;
    asan) run_stage asan stage_asan ;;
    tsan) run_stage tsan stage_tsan ;;
  esac
done

banner "summary"
failed=0
for i in "${!STAGE_NAMES[@]}"; do
  printf '  %-8s %-5s %6s  %s\n' "${STAGE_NAMES[$i]}" "${STAGE_RESULTS[$i]}" "${STAGE_TIMES[$i]}" "${STAGE_NOTES[$i]}"
  if [[ "${STAGE_RESULTS[$i]}" == "FAIL" ]]; then failed=1; fi
done
if ((failed)); then
  echo "TESTS FAILED"
  exit 1
fi
echo "ALL TESTS PASSED"
