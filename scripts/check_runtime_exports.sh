#!/usr/bin/env bash
# The Windows movie runtime "QuickTime.qts" exports exactly what the engine
# binds: theQuickTimeDispatcher, _CallComponent and
# _CallComponentFunctionWithStorage (nothing of the static core behind
# them), carries a version resource, and imports nothing from the compiler's
# runtime DLLs.
# Usage: scripts/check_runtime_exports.sh [build/windows/QuickTime/QuickTime.qts]
set -euo pipefail
cd "$(dirname "$0")/.."
exec scripts/check_dll_exports.sh "runtime exports" "${1:-build/windows/QuickTime/QuickTime.qts}" --resources \
  theQuickTimeDispatcher _CallComponent _CallComponentFunctionWithStorage
