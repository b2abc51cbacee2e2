#!/usr/bin/env bash
# Builds the program and runs the demo on the embedded default machine (./machine, created when
# missing): the autopilot tools/demo.autopilot creates an MBR disk on the removable disk 1,
# installs onto it and closes the window. The console log goes to standard output, the message
# boxes to standard error; then the disk's partition table is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target velund-setup velund-machine
machine="${VELUND_MACHINE:-$PWD/machine}"
status=0
VELUND_MACHINE="$machine" VELUND_AUTOPILOT="$PWD/tools/demo.autopilot" build/app/velund-setup ||
  status=$?
echo
echo "=== Partition table of the removable disk ($machine/disks/disk1.img) ==="
sfdisk -d "$machine/disks/disk1.img"
exit "$status"
