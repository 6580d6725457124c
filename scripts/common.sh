# Shared helpers for scripts/test.sh and scripts/demo.sh. Source it; do not run it.
#
# Sets ROOT (repository root) and puts .venv/bin (cmake, ctest, ninja, python)
# first on PATH.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export PATH="$ROOT/.venv/bin:$PATH"
JOBS="${KORVANE_JOBS:-2}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$JOBS}"  # pip builds of the module too

# CMake options of each build tree. demo.sh and test.sh share build/release,
# so both must configure it identically.
tree_options() {
  case "$1" in
    release)
      echo "-DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE="
      ;;
    asan)
      echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=address -DKORVANE_BUILD_BENCH=OFF"
      ;;
    tsan)
      echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=thread -DKORVANE_BUILD_BENCH=OFF"
      ;;
    *)
      echo "unknown build tree: $1" >&2
      return 1
      ;;
  esac
}

# configure_tree NAME: configures build/NAME with Ninja (re-running is cheap).
configure_tree() {
  local name="$1" options
  options="$(tree_options "$name")" || return 1
  local cache="$ROOT/build/$name/CMakeCache.txt"
  if [[ -f "$cache" ]] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$cache"; then
    echo "build/$name was configured with another generator; starting it afresh"
    rm -rf "${ROOT:?}/build/$name"
  fi
  # shellcheck disable=SC2086  # options are single words
  cmake -S "$ROOT" -B "$ROOT/build/$name" -G Ninja $options \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    --log-level=WARNING
}

# build_tree NAME [TARGET...]: builds build/NAME (everything, or the targets).
build_tree() {
  local name="$1"
  shift
  local targets=()
  local t
  for t in "$@"; do targets+=(--target "$t"); done
  cmake --build "$ROOT/build/$name" -j "$JOBS" "${targets[@]}"
}
