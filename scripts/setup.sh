#!/usr/bin/env bash
# Installs everything the build and the tests need, then builds the extension into .venv.
# Safe to re-run: every step checks whether it has work to do.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv
PY=${PYTHON:-python3.11}
command -v "$PY" >/dev/null || PY=python3

APT_PACKAGES="libmlir-16-dev mlir-16-tools llvm-16-dev libboost-stacktrace-dev ninja-build ccache \
libgtest-dev libzstd-dev zlib1g-dev libtinfo-dev cmake g++"

missing=()
for p in $APT_PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x "$VENV/bin/python" ]; then
  echo "setup: creating $VENV with $("$PY" --version)"
  "$PY" -m venv "$VENV"
fi
VPY=$VENV/bin/python

TORCH_VERSION=2.13.0
have_torch=$("$VPY" -c 'import torch; print(torch.__version__)' 2>/dev/null || true)
if [ "$have_torch" != "${TORCH_VERSION}+cpu" ]; then
  # Only the CPU wheel kept on this machine's disk is acceptable: a plain index install would
  # pull a multi-gigabyte CUDA build.
  wheel=$(ls /opt/wheels/torch-${TORCH_VERSION}+cpu-cp311-*.whl 2>/dev/null | head -n 1 || true)
  if [ -z "$wheel" ]; then
    echo "setup: ERROR: the CPU wheel of torch ${TORCH_VERSION} is not on this machine (/opt/wheels)." >&2
    echo "setup: refusing to download a CUDA build from the index." >&2
    exit 1
  fi
  echo "setup: installing $wheel"
  "$VPY" -m pip install -q --disable-pip-version-check "$wheel"
  got=$("$VPY" -c 'import torch; print(torch.__version__)')
  [ "$got" = "${TORCH_VERSION}+cpu" ] || { echo "setup: ERROR: expected torch ${TORCH_VERSION}+cpu, got $got" >&2; exit 1; }
fi

# Re-installed whenever the requirements file changes.
STAMP=$VENV/.requirements-dev.stamp
if [ ! -f "$STAMP" ] || ! cmp -s requirements-dev.txt "$STAMP"; then
  echo "setup: installing test requirements"
  "$VPY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  cp requirements-dev.txt "$STAMP"
fi
