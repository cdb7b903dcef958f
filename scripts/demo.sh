#!/usr/bin/env bash
# The main job on the bundled example.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
vornel="$build/src/cli/vornel"

"$vornel" --version
echo
echo "Registry of the bundled example (HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI):"
"$vornel" reg dump --reg "$here/samples/example.reg" 'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\PCI'
