#!/usr/bin/env bash
# Installs the dependencies, checks the formatting, builds dorsane with warnings as errors,
# runs every test, builds it again without GoogleTest, checks what cmake --install installs, runs the bundled example end to
# end, builds with the address and undefined-behaviour sanitizers and runs every test again
# on that build, then fuzzes each reader for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DDORSANE_WERROR=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

# A plain build needs no test tools: without GoogleTest the tests are off by default.
cmake -S . -B build-plain -DCMAKE_BUILD_TYPE=Release -DDORSANE_WERROR=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
grep -q '^BUILD_TESTING:BOOL=OFF$' build-plain/CMakeCache.txt
cmake --build build-plain -j"$(nproc)"

# cmake --install puts the binary and the documentation under the prefix.
rm -rf build/install-check
cmake --install build --prefix build/install-check > /dev/null
test -x build/install-check/bin/dorsane
test -f build/install-check/share/doc/dorsane/README.md
test -f build/install-check/share/doc/dorsane/docs/usage.md

# The example must call better than the most-likely-genotype baseline (non-reference
# discordance over all sites: the "all" row's calls against its baseline).
mkdir -p build/example
bash examples/run.sh | tee build/example/evaluation.txt
awk '$1 == "all" { gsub("%", ""); found = 1; better = ($6 + 0 < $9 + 0) }
     END { if (!found || !better) { print "example: calls not better than baseline"; exit 1 } }' \
  build/example/evaluation.txt

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Release -DDORSANE_WERROR=ON -DDORSANE_SANITIZE=ON
cmake --build build-sanitize -j"$(nproc)"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"

# The readers' libFuzzer harnesses (clang), 30 seconds each from the seed corpus in
# tests/fuzz/corpus; new inputs go to a scratch corpus under the build tree.
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DDORSANE_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build build-fuzz -j"$(nproc)"
# Two at a time on two cores; a crash makes xargs, and so the script, fail.
ls -d tests/fuzz/corpus/*/ | xargs -P "$(nproc)" -I{} bash -c '
  name=$(basename {})
  mkdir -p "build-fuzz/corpus/$name"
  "build-fuzz/fuzz_$name" -max_total_time=30 -rss_limit_mb=2048 \
    -artifact_prefix="build-fuzz/crash-$name-" "build-fuzz/corpus/$name" {} \
    > "build-fuzz/$name.log" 2>&1 || { tail -30 "build-fuzz/$name.log"; exit 1; }
  echo "fuzz_$name: $(tail -1 "build-fuzz/$name.log")"'
