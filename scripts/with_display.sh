#!/usr/bin/env bash
# Runs a command with an X server: the one DISPLAY names, or a fresh Xvfb
# through xvfb-run. When neither can be had it says so and exits 77, which
# CTest reports as a skipped test (SKIP_RETURN_CODE).
set -uo pipefail
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
if command -v xvfb-run >/dev/null 2>&1 && xvfb-run -a true >/dev/null 2>&1; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
fi
echo "with_display: SKIPPED: no X server can be made (DISPLAY unset, xvfb-run missing or failing)"
exit 77
