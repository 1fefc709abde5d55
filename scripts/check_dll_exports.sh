#!/usr/bin/env bash
# A Windows DLL of ours exports exactly the names given and imports nothing
# from the compiler's runtime or thread DLLs (libstdc++-6, libgcc_s_seh-1,
# libwinpthread-1), which a Windows without our build tree lacks; with
# --resources it also carries a resource directory (its version block).
# Usage: scripts/check_dll_exports.sh LABEL DLL [--resources] NAME...
set -euo pipefail
label=$1 dll=$2
shift 2
resources=0
if [ "${1:-}" = --resources ]; then
  resources=1
  shift
fi
[ -f "$dll" ] || { echo "$label: $dll was not built"; exit 1; }
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
table=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump")
status=0
for name in "$@"; do
  if ! grep -q "\] $name\$" <<<"$table"; then echo "$label: $name missing from $dll"; status=1; fi
done
count=$(grep -cE '^\s*\[ *[0-9]+\]' <<<"$table" || true)
if [ "$count" -ne $# ]; then echo "$label: $count names exported, expected $#"; status=1; fi
if [ $resources -eq 1 ] && ! x86_64-w64-mingw32-objdump -h "$dll" | grep -q '\.rsrc'; then
  echo "$label: $dll has no resources (version block)"
  status=1
fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
for import in $imports; do
  case "${import,,}" in
    libstdc++*|libgcc*|libwinpthread*) echo "$label: $dll imports $import"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "$label: $dll exports the $# entry points and imports only system DLLs"
exit $status
