#!/usr/bin/env bash
# Prepares a Debian machine for building and testing Korvane.
#
#  - installs the apt packages the build needs (only those missing),
#  - creates a Python 3.12 virtual environment in .venv at the repository root,
#  - installs the Python tools into it (only those missing).
#
# Options add Python packages that only some scripts need:
#   --demo   the MaxMind DB reader and the GeoLite2 database that
#            examples/demo.py loads (scripts/demo.sh passes it)
#   --bench  the other IP-lookup libraries bench/python_bench.py compares with
#
# Idempotent: a second run changes nothing and prints nothing.
# Quiet on success; on failure it prints the failing step's full output.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

# Build and test dependencies. clang and its runtime are for the fuzzing
# build; cmake and ninja-build back up the copies installed into .venv.
APT_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libhiredis-dev nlohmann-json3-dev libcuckoo-dev
  redis-server
  clang libclang-rt-dev
)
# What pyenv needs to build a Python 3.12, where the machine has none (Debian
# 12 ships 3.11 only).
PYENV_BUILD_PACKAGES=(
  git ca-certificates curl make build-essential
  libssl-dev zlib1g-dev libbz2-dev libreadline-dev libsqlite3-dev libncursesw5-dev
  xz-utils tk-dev libxml2-dev libffi-dev liblzma-dev
)

# maxminddb: the korvane command's MaxMind DB tables are tested against it.
PIP_PACKAGES=(pytest hypothesis scikit-build-core cmake ninja maxminddb)
DEMO_PIP_PACKAGES=(maxminddb-geolite2)
BENCH_PIP_PACKAGES=(pytricia py-radix pysubnettree)

for option in "$@"; do
  case "$option" in
    --demo) PIP_PACKAGES+=("${DEMO_PIP_PACKAGES[@]}") ;;
    --bench) PIP_PACKAGES+=("${BENCH_PIP_PACKAGES[@]}") ;;
    *)
      echo "usage: $0 [--demo] [--bench]" >&2
      exit 2
      ;;
  esac
done

LOG="$(mktemp -t korvane-setup.XXXXXX)"
trap 'rm -f "$LOG"' EXIT

die() {
  echo "setup.sh: error: $*" >&2
  exit 1
}

# run_logged DESCRIPTION COMMAND...: runs the command with its output in the
# log; on failure shows the log and stops.
run_logged() {
  local what="$1"
  shift
  if ! "$@" >"$LOG" 2>&1; then
    echo "setup.sh: error: $what failed: $*" >&2
    echo "----- output -----" >&2
    cat "$LOG" >&2
    echo "------------------" >&2
    exit 1
  fi
}

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    die "need root (or sudo) to run: $*"
  fi
}

# ---------------------------------------------------------------- apt
# install_apt_packages PACKAGE...: installs those not installed yet.
install_apt_packages() {
  local missing=() pkg installed
  # One query for all; packages dpkg has never heard of are simply absent.
  installed=" $(dpkg-query -W -f='${Package}=${db:Status-Status} ' "$@" 2>/dev/null || true) "
  for pkg in "$@"; do
    [[ "$installed" == *" $pkg=installed "* ]] || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return 0

  echo "setup.sh: installing apt packages: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  run_logged "apt-get update" as_root apt-get update -q
  run_logged "apt-get install" as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# ---------------------------------------------------------------- python
is_python312() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' >/dev/null 2>&1
}

find_python312() {
  local candidate
  # 1. on PATH, if it actually runs (a pyenv shim may not resolve).
  candidate="$(command -v python3.12 2>/dev/null || true)"
  if [[ -n "$candidate" ]] && is_python312 "$candidate"; then
    echo "$candidate"
    return 0
  fi
  # 2. a pyenv-installed 3.12, newest first.
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  for candidate in $(ls -d "$pyenv_root"/versions/3.12.*/bin/python3.12 /root/.pyenv/versions/3.12.*/bin/python3.12 2>/dev/null | sort -rV); do
    if is_python312 "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  # 3. let pyenv build one, fetching pyenv itself where it is missing (both
  # need the network: github.com for pyenv, python.org for the sources).
  local pyenv
  pyenv="$(command -v pyenv 2>/dev/null || true)"
  [[ -z "$pyenv" && -x "$pyenv_root/bin/pyenv" ]] && pyenv="$pyenv_root/bin/pyenv"
  install_apt_packages "${PYENV_BUILD_PACKAGES[@]}"
  if [[ -z "$pyenv" ]]; then
    [[ -e "$pyenv_root" ]] && die "$pyenv_root exists but holds no pyenv; move it aside or install Python 3.12"
    echo "setup.sh: fetching pyenv into $pyenv_root" >&2
    run_logged "fetching pyenv" git clone -q --depth 1 https://github.com/pyenv/pyenv.git "$pyenv_root"
    pyenv="$pyenv_root/bin/pyenv"
  fi
  echo "setup.sh: building Python 3.12 with pyenv (a few minutes)" >&2
  export PYENV_ROOT="$pyenv_root"
  run_logged "pyenv install 3.12" "$pyenv" install -s 3.12 </dev/null
  local version
  version="$("$pyenv" versions --bare | grep -E '^3\.12\.[0-9]+$' | sort -V | tail -n 1)"
  [[ -n "$version" ]] || die "pyenv did not produce a Python 3.12"
  candidate="$("$pyenv" root)/versions/$version/bin/python3.12"
  if is_python312 "$candidate"; then
    echo "$candidate"
    return 0
  fi
  return 1
}

make_venv() {
  if [[ -x "$VENV/bin/python" ]] && is_python312 "$VENV/bin/python" &&
    "$VENV/bin/python" -m pip --version >/dev/null 2>&1; then
    return 0
  fi
  local python
  python="$(find_python312)" || die "no working Python 3.12 found (tried python3.12 on PATH, ~/.pyenv/versions/3.12.*, pyenv install 3.12)"
  echo "setup.sh: creating virtual environment $VENV with $python"
  rm -rf "$VENV"
  run_logged "creating the virtual environment" "$python" -m venv "$VENV"
}

install_pip_packages() {
  local missing
  # One interpreter start to list what is missing.
  missing="$("$VENV/bin/python" - "${PIP_PACKAGES[@]}" <<'EOF'
import sys
from importlib import metadata
for name in sys.argv[1:]:
    try:
        metadata.version(name)
    except metadata.PackageNotFoundError:
        print(name)
EOF
)"
  [[ -z "$missing" ]] && return 0
  # shellcheck disable=SC2086  # one name per line, none with spaces
  echo "setup.sh: installing into .venv:" $missing
  run_logged "pip install" "$VENV/bin/python" -m pip install --disable-pip-version-check -q $missing
}

install_apt_packages "${APT_PACKAGES[@]}"
make_venv
install_pip_packages
