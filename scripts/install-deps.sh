#!/usr/bin/env bash
# Installs what dorsane needs on Debian 12 (run as root):
#   install-deps.sh            everything to build, test, fuzz and benchmark (CI)
#   install-deps.sh --minimal  only what building dorsane and running the bundled example need
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  g++ cmake make pkg-config
  libeigen3-dev
  libboost-iostreams-dev
  zlib1g-dev
  libhts-dev
  python3
)
case "${1:-}" in
  --minimal) ;;
  "")
    packages+=(
      libgtest-dev
      bcftools tabix samtools
      shapeit4
      snakemake
      clang-format
      clang libclang-rt-14-dev
      python3-matplotlib
      time
      valgrind
    )
    ;;
  *)
    echo "install-deps.sh: unknown option '$1' (expected --minimal or nothing)" >&2
    exit 1
    ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
