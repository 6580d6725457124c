#!/usr/bin/env bash
# Builds Korvane and runs the demonstration: the korvane Python module,
# installed into .venv, loads the networks of the GeoLite2-City database
# (about 3.4 million IPv4 and IPv6 prefixes, from the PyPI package
# maxminddb-geolite2) and answers a log-like stream of a million
# longest-prefix-match lookups (examples/demo.py; about 40 s and 2.5 GiB).
# The C++ example program is built and run by scripts/test.sh release.
set -euo pipefail

# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

bash "$ROOT/scripts/setup.sh" --demo

# The Python module: installs it into .venv and runs the Python demo from
# outside the source tree, so that the installed module is imported.
# setup.sh --demo has installed the packages the demo reads its table with.
run_python_demo() {
  "$ROOT/.venv/bin/pip" install --disable-pip-version-check -q --no-build-isolation \
    --config-settings=build-dir="$ROOT/build/python" "$ROOT"
  echo
  (cd /tmp && "$ROOT/.venv/bin/python" "$ROOT/examples/demo.py" "$@")
}

run_python_demo "$@"
