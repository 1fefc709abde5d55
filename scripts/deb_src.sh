#!/usr/bin/env bash
# Makes Debian's source packages reachable for `apt-get source`: the
# machine's own apt sources (deb822 files under sources.list.d, or the
# one-line sources.list) are copied, as source entries, into a list file of
# their own, and the package lists are refreshed once. Idempotent: with
# the file in place and the source index present it does nothing.
set -euo pipefail
target=/etc/apt/sources.list.d/tidepool-deb-src.sources
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ ! -f "$target" ]; then
  tmp="$(mktemp)"
  shopt -s nullglob
  for f in /etc/apt/sources.list.d/*.sources; do
    [ "$f" = "$target" ] && continue
    # Every stanza that serves binary packages, with its own URIs, suites,
    # components and key, turned into a source stanza.
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ && !/(^|\n)Enabled: *no/ {
           gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f" >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    # One-line entries: "deb [options] URI suite components" as deb822.
    awk '$1 == "deb" {
           i = 2; opts = ""
           if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
           printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $i, $(i + 1)
           for (j = i + 2; j <= NF; j++) printf " %s", $j
           printf "\n\n" }' /etc/apt/sources.list >>"$tmp"
  fi
  if ! grep -q '^URIs:' "$tmp"; then
    echo "deb_src: no apt source to derive a source entry from" >&2
    rm -f "$tmp"
    exit 1
  fi
  $SUDO install -m 644 "$tmp" "$target"
  rm -f "$tmp"
  echo "deb_src: wrote $target" >&2
fi
if ! compgen -G "/var/lib/apt/lists/*_Sources*" >/dev/null; then
  $SUDO apt-get update -qq
fi
