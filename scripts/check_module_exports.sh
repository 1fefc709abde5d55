#!/usr/bin/env bash
# The Windows module exports exactly what COM and regsvr32 call:
# DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer,
# and imports nothing from the compiler's runtime DLLs.
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
# Self-contained: the module imports system DLLs only, never the compiler's
# runtime or thread DLLs (libstdc++-6, libgcc_s_seh-1, libwinpthread-1),
# which a Windows without our build tree lacks.
imports=$(x86_64-w64-mingw32-objdump -p "$module" | sed -n 's/^\s*DLL Name: //p')
for dll in $imports; do
  case "${dll,,}" in
    libstdc++*|libgcc*|libwinpthread*) echo "module exports: $module imports $dll"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "module exports: $module exports the four entry points and imports only system DLLs"
exit $status
