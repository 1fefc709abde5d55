#!/usr/bin/env bash
# The Windows movie runtime "QuickTime.qts" exports exactly what the engine
# binds: theQuickTimeDispatcher, _CallComponent and
# _CallComponentFunctionWithStorage (nothing of the static core behind
# them), carries a version resource, and imports nothing from the compiler's
# runtime DLLs. FFmpeg's libraries are no load-time import of it (they are
# delay-loaded, so the runtime loads without them), and those beside it
# import only system DLLs and one another.
# Usage: scripts/check_runtime_exports.sh [build/windows/QuickTime/QuickTime.qts]
set -euo pipefail
cd "$(dirname "$0")/.."
runtime="${1:-build/windows/QuickTime/QuickTime.qts}"
scripts/check_dll_exports.sh "runtime exports" "$runtime" --resources \
  theQuickTimeDispatcher _CallComponent _CallComponentFunctionWithStorage
status=0
if x86_64-w64-mingw32-objdump -p "$runtime" | grep -qiE 'DLL Name: (avcodec|avformat|avutil|swscale|swresample)'; then
  echo "runtime exports: $runtime imports FFmpeg's libraries at load time"
  status=1
fi
shopt -s nullglob
for dll in "$(dirname "$runtime")"/{avcodec,avformat,avutil,swscale,swresample}-*.dll; do
  for import in $(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p'); do
    case "${import,,}" in
      kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | bcrypt.dll | ole32.dll | \
        avcodec-* | avformat-* | avutil-* | swscale-* | swresample-*) ;;
      *)
        echo "runtime exports: $(basename "$dll") imports $import"
        status=1
        ;;
    esac
  done
done
[ $status -eq 0 ] && echo "runtime exports: FFmpeg's libraries are delay-loaded and import only system DLLs"
exit $status
