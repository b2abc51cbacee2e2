#!/usr/bin/env bash
# Builds the program and runs the demo on the embedded default machine (./machine, created when
# missing): the autopilot tools/demo.autopilot creates an MBR disk on the removable disk 1,
# installs onto it and closes the window. The console log goes to standard output, the message
# boxes to standard error; then the disk's partition table is shown.
#
# The demo's Windows is set to use UTF-8 for non-Unicode programs (ANSI and OEM code page 65001),
# so that the Vietnamese log reads the same on a terminal, in a pipe and in a saved file.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "=== Checking the packages the build needs ==="
# The installer's whole output only when it fails.
if ! deps_log=$(tools/install-deps.sh 2>&1); then
  printf '%s\n' "$deps_log" >&2
  exit 1
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target velund-setup velund-machine
machine="${VELUND_MACHINE:-$PWD/machine}"
[[ -e "$machine" ]] || build/tools/velund-machine new "$machine"
build/tools/velund-machine code-pages "$machine" 65001 65001
status=0
VELUND_MACHINE="$machine" VELUND_AUTOPILOT="$PWD/tools/demo.autopilot" build/app/velund-setup ||
  status=$?
echo
echo "=== Partition table of the removable disk ($machine/disks/disk1.img) ==="
sfdisk -d "$machine/disks/disk1.img"
exit "$status"
