#!/usr/bin/env bash
# The main job on the bundled sample: scan the Windows XP desktop installation (its hives
# and driver files are assembled at build time) and print its drivers.
set -euo pipefail
build=${1:-build}
vornel="$build/src/cli/vornel"
sample="$build/samples/xp-desktop"

"$vornel" --version
echo
echo "Scanning the sample installation in $sample ..."
echo
# The summary line on standard error names the driver document that was written.
"$vornel" scan --root "$sample"
