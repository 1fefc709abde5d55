# Sourced by the Wine stages: a fresh headless prefix in a scratch folder
# (removed, with its wineserver, when the script exits), `winpath` for a
# Linux path as Wine sees it, and `step LIMIT NAME COMMAND...`, which runs a
# command under a watchdog and ends the script when it fails.
# Usage: wine_prefix_setup LABEL MODULE
#   LABEL names the stage in every line it prints; MODULE is the
#   Tidepool.ax that regsvr32 registers in the new prefix. Sets $scratch.

# Z: maps the root in every fresh prefix.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

step() {
  local limit=$1 name=$2
  shift 2
  echo "== $wine_label: $name"
  if ! timeout --kill-after=10 "$limit" "$@"; then
    echo "$wine_label: $name failed or timed out"
    exit 1
  fi
}

wine_prefix_cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}

wine_prefix_setup() {
  wine_label=$1
  local module=$2
  scratch=$(mktemp -d)
  # Quiet, but for a start that fails in Wine's address space (exit 1, no
  # word from the program otherwise).
  export WINEPREFIX="$scratch/prefix" WINEARCH=win64 WINEDEBUG=-all,err+virtual WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  if [ -x /usr/lib/wine/wine64 ] && [ ! -e /usr/lib/wine/wine64-preloader ]; then
    echo "$wine_label: wine64 has no preloader (scripts/wine_check.sh installs it): a rare Wine start (some one in two thousand) fails at random"
  fi
  trap wine_prefix_cleanup EXIT
  step 120 "fresh prefix" sh -c 'wineboot -i >/dev/null 2>&1 && wineserver -w'
  step 60 "no sound card" wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d "" /f
  step 60 "regsvr32 Tidepool.ax" wine regsvr32 /s "$(winpath "$module")"
}
