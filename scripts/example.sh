#!/usr/bin/env bash
# Installs what the example needs (no test tools), builds the dorsane binary alone (not the
# tests, even where GoogleTest is installed) and runs it on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --minimal
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target dorsane
bash examples/run.sh
