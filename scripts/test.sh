#!/usr/bin/env bash
# Installs the dependencies, checks the formatting, builds dorsane with warnings as errors,
# runs every test, runs the README's example end to end, then builds with the address and
# undefined-behaviour sanitizers and runs every test again on that build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DDORSANE_WERROR=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The example must call better than the most-likely-genotype baseline (non-reference
# discordance over all sites: the "all" row's calls against its baseline).
bash examples/run.sh | tee build/example/evaluation.txt
awk '$1 == "all" { gsub("%", ""); found = 1; better = ($6 + 0 < $9 + 0) }
     END { if (!found || !better) { print "example: calls not better than baseline"; exit 1 } }' \
  build/example/evaluation.txt

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Release -DDORSANE_WERROR=ON -DDORSANE_SANITIZE=ON
cmake --build build-sanitize -j"$(nproc)"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"
