#!/usr/bin/env bash
# The Windows movie runtime "QuickTime.qts" exports exactly what the engine
# binds: theQuickTimeDispatcher, _CallComponent and
# _CallComponentFunctionWithStorage (nothing of the static core behind
# them), carries a version resource, and imports nothing from the compiler's
# runtime DLLs.
# Usage: scripts/check_runtime_exports.sh [build/windows/QuickTime/QuickTime.qts]
set -euo pipefail
cd "$(dirname "$0")/.."
runtime=${1:-build/windows/QuickTime/QuickTime.qts}
[ -f "$runtime" ] || { echo "runtime exports: $runtime was not built"; exit 1; }
dump=$(x86_64-w64-mingw32-objdump -p "$runtime")
table=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump")
status=0
for name in theQuickTimeDispatcher _CallComponent _CallComponentFunctionWithStorage; do
  if ! grep -q "\] $name\$" <<<"$table"; then echo "runtime exports: $name missing from $runtime"; status=1; fi
done
count=$(grep -cE '^\s*\[ *[0-9]+\]' <<<"$table" || true)
if [ "$count" -ne 3 ]; then echo "runtime exports: $count names exported, expected 3"; status=1; fi
# The version block lives in the resource directory (.rsrc).
if ! x86_64-w64-mingw32-objdump -h "$runtime" | grep -q '\.rsrc'; then
  echo "runtime exports: $runtime has no resources (version block)"
  status=1
fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
for dll in $imports; do
  case "${dll,,}" in
    libstdc++*|libgcc*|libwinpthread*) echo "runtime exports: $runtime imports $dll"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "runtime exports: $runtime exports the three entry points and imports only system DLLs"
exit $status
