#!/usr/bin/env bash
# The one command: install what is needed, configure, build and run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
