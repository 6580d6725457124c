#!/usr/bin/env bash
# Fuzzes the korvane Python surface with atheris (lib/python/fuzz/fuzz_korvane.py).
#
#   scripts/fuzz.sh [SECONDS] [CONSTRUCTION...]
#
# SECONDS (default 60) is the total time, shared evenly by the constructions
# (default: none standard lockfree adaptive; "none" is RadixEngine()).
#
# KORVANE_FUZZ_MODE selects what is fuzzed:
#   native (default) - a copy of the module built with clang and
#                      -fsanitize=address,undefined,fuzzer-no-link into
#                      build/fuzz/module, run under an atheris built from
#                      source with its ASan+libFuzzer preload, so coverage of
#                      the C++ code guides the fuzzer and memory errors stop it
#   plain            - the module installed in .venv, Python coverage only
#   random           - no atheris: random inputs through the same oracle
#
# The corpus of each construction is kept in build/fuzz/corpus-NAME and grows
# from run to run; a failing input is written to build/fuzz/artifacts/ and
# can be replayed with the same command line plus the file name:
#   .venv/bin/python lib/python/fuzz/fuzz_korvane.py --variant=NAME FILE
# (in native mode with the LD_PRELOAD and PYTHONPATH this script prints).
# The exit status is non-zero when any construction found a failure.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="$ROOT/.venv/bin/python"
PIP=("$ROOT/.venv/bin/pip" install --disable-pip-version-check -q)
HARNESS="$ROOT/lib/python/fuzz/fuzz_korvane.py"
WORK="$ROOT/build/fuzz"
MODE="${KORVANE_FUZZ_MODE:-native}"

SECONDS_TOTAL="${1:-60}"
shift || true
CONSTRUCTIONS=("$@")
((${#CONSTRUCTIONS[@]} > 0)) || CONSTRUCTIONS=(none standard lockfree adaptive)
for name in "${CONSTRUCTIONS[@]}"; do
  case "$name" in
    none | standard | lockfree | adaptive) ;;
    *)
      echo "usage: $0 [SECONDS] [none|standard|lockfree|adaptive]..." >&2
      exit 2
      ;;
  esac
done
PER=$((SECONDS_TOTAL / ${#CONSTRUCTIONS[@]}))
((PER > 0)) || PER=1

[[ -x "$PY" ]] || {
  echo "fuzz.sh: no .venv; run scripts/setup.sh first" >&2
  exit 1
}
mkdir -p "$WORK/artifacts"

ENV_PREFIX=()
case "$MODE" in
  native)
    # atheris from source, against the installed clang's libFuzzer: only such
    # a build provides asan_with_fuzzer.so, which must be preloaded so that the
    # module's coverage counters reach libFuzzer.
    ATHERIS_DIR="$WORK/atheris-native"
    if [[ ! -f "$ATHERIS_DIR/asan_with_fuzzer.so" ]]; then
      command -v clang >/dev/null || {
        echo "fuzz.sh: native mode needs clang and libclang-rt-dev (or KORVANE_FUZZ_MODE=plain)" >&2
        exit 1
      }
      echo "building atheris from source into $ATHERIS_DIR (once)"
      rm -rf "$ATHERIS_DIR"
      LIBFUZZER_LIB="$(clang -print-file-name="libclang_rt.fuzzer_no_main-$(uname -m).a")" CC=clang CXX=clang++ \
        "${PIP[@]}" --no-binary atheris --no-deps --target "$ATHERIS_DIR" atheris
    fi
    echo "building the instrumented module in $WORK/module"
    cmake -S "$ROOT" -B "$WORK/module" -G Ninja --log-level=WARNING \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
      -DKORVANE_BUILD_PYTHON=ON -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF \
      -DKORVANE_BUILD_EXAMPLES=OFF -DPython_EXECUTABLE="$PY"
    cmake --build "$WORK/module" -j "${KORVANE_JOBS:-2}" --target korvane >"$WORK/module-build.log" 2>&1 || {
      cat "$WORK/module-build.log" >&2
      exit 1
    }
    ENV_PREFIX=(env "LD_PRELOAD=$ATHERIS_DIR/asan_with_fuzzer.so"
      "ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1"
      "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
      "PYTHONPATH=$ATHERIS_DIR:$WORK/module/lib/python")
    echo "environment: ${ENV_PREFIX[*]:1}"
    ;;
  plain)
    "$PY" -c 'import atheris' 2>/dev/null || "${PIP[@]}" atheris
    ;;
  random) ;;
  *)
    echo "fuzz.sh: KORVANE_FUZZ_MODE must be native, plain or random" >&2
    exit 2
    ;;
esac

failed=()
for name in "${CONSTRUCTIONS[@]}"; do
  echo "==== $name: $PER s ($MODE)"
  corpus="$WORK/corpus-$name"
  mkdir -p "$corpus"
  log="$WORK/fuzz-$name.log"
  rc=0
  if [[ "$MODE" == random ]]; then
    (cd "$WORK/artifacts" && "$PY" "$HARNESS" --variant="$name" --random "$PER") 2>&1 | tee "$log" || rc=$?
  else
    "${ENV_PREFIX[@]}" "$PY" "$HARNESS" --variant="$name" -max_total_time="$PER" -timeout=20 \
      -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$WORK/artifacts/$name-" "$corpus" \
      >"$log" 2>&1 || rc=$?
    grep -E '^#[0-9]+[[:space:]]+DONE|^Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
  fi
  if ((rc != 0)); then
    failed+=("$name")
    echo "!!!! $name failed (exit $rc); last lines of $log:"
    tail -n 40 "$log"
  fi
done

if ((${#failed[@]} > 0)); then
  echo "FUZZING FOUND FAILURES: ${failed[*]} (inputs in $WORK/artifacts)"
  exit 1
fi
echo "fuzzing: no failure in ${CONSTRUCTIONS[*]}"
