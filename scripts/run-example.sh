#!/usr/bin/env bash
# Builds checkvela, migrates a scratch copy of the sample installation in examples/machine, and
# shows what the migration did: the registry tree, Spool, Backup and restore.bat.
#   scripts/run-example.sh [MACHINE_DIR]   (default: examples/machine)
set -euo pipefail
cd "$(dirname "$0")/.."
source_machine=${1:-examples/machine}

bash scripts/setup.sh --native
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target checkvela >/dev/null

scratch=$(mktemp -d /tmp/checkvela-example.XXXXXX)
cp -a "$source_machine/." "$scratch/"
program="$scratch/drive_c/Program Files/Vela"
mkdir -p "$program"
cp build/native/checkvela "$program/CheckVela"
echo "Machine: $scratch"
echo "Running C:\\Program Files\\Vela\\CheckVela"
echo
(cd "$scratch/drive_c" && "$program/CheckVela")
echo
echo "== Registry below HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela and the uninstall entries"
if command -v python3 >/dev/null; then
  python3 scripts/show-registry.py "$scratch/registry.reg" 'Quillon' 'Uninstall\'
else
  awk '/^\[/{show = ($0 ~ /Quillon|Uninstall\\/)} show' "$scratch/registry.reg" | tr -d '\r'
fi
echo "== Spool"
ls -l "$program/Spool"
echo "== Backup"
ls -l "$program/Backup"
echo "== restore.bat"
tr -d '\r' < "$program/Backup/restore.bat"
