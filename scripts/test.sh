#!/bin/bash
# Installs what is missing, builds, and runs every test (unit and end-to-end).
# End-to-end tests need root: they create their own network namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
cd build
ctest --output-on-failure -j1 "$@"
