#!/usr/bin/env bash
# Builds the program and runs it on the embedded default machine (./machine, created when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target velund-setup velund-machine
VELUND_MACHINE="${VELUND_MACHINE:-$PWD/machine}" build/app/velund-setup
