#!/usr/bin/env bash
# Installs everything dorsane needs to build, test and benchmark on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  g++ cmake make pkg-config
  libeigen3-dev
  libboost-iostreams-dev
  zlib1g-dev
  libgtest-dev
  libhts-dev
  bcftools tabix samtools
  shapeit4
  snakemake
  clang-format
  clang libclang-rt-14-dev
  python3 python3-matplotlib
  time
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
