#!/usr/bin/env bash
# The Windows module exports exactly what COM and regsvr32 call:
# DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer.
# Usage: scripts/check_module_exports.sh [build/windows/bin/Tidepool.ax]
set -euo pipefail
cd "$(dirname "$0")/.."
module=${1:-build/windows/bin/Tidepool.ax}
if [ ! -f src/filter/CTidepool.h ]; then
  echo "module exports: skipped, the filter class is not in the tree yet"
  exit 0
fi
[ -f "$module" ] || { echo "module exports: $module was not built"; exit 1; }
table=$(x86_64-w64-mingw32-objdump -p "$module" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
status=0
for name in DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer; do
  if ! grep -q "\] $name\$" <<<"$table"; then echo "module exports: $name missing from $module"; status=1; fi
done
count=$(grep -cE '^\s*\[ *[0-9]+\]' <<<"$table" || true)
if [ "$count" -ne 4 ]; then echo "module exports: $count names exported, expected 4"; status=1; fi
[ $status -eq 0 ] && echo "module exports: $module exports the four entry points"
exit $status
