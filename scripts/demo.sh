#!/usr/bin/env bash
# Builds Korvane (release tree in build/release) and runs the demonstration:
# an engine loaded with a few thousand IPv4 and IPv6 prefixes answering
# longest-prefix-match lookups.
set -euo pipefail

# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

bash "$ROOT/scripts/setup.sh"

# The C++ example program.
run_cpp_demo() {
  configure_tree release
  build_tree release korvane_example
  echo
  "$ROOT/build/release/examples/korvane_example"
}

# The Python module: installs it into .venv and runs the Python demo from
# outside the source tree, so that the installed module is imported.
run_python_demo() {
  "$ROOT/.venv/bin/pip" install --disable-pip-version-check -q --no-build-isolation \
    --config-settings=build-dir="$ROOT/build/python" "$ROOT"
  echo
  (cd /tmp && "$ROOT/.venv/bin/python" "$ROOT/examples/demo.py")
}

run_cpp_demo
