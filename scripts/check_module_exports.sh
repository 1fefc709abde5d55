#!/usr/bin/env bash
# The Windows module exports exactly what COM and regsvr32 call:
# DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer,
# and imports nothing from the compiler's runtime DLLs.
# Usage: scripts/check_module_exports.sh [build/windows/bin/Tidepool.ax]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f src/filter/CTidepool.h ]; then
  echo "module exports: skipped, the filter class is not in the tree yet"
  exit 0
fi
exec scripts/check_dll_exports.sh "module exports" "${1:-build/windows/bin/Tidepool.ax}" \
  DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer
