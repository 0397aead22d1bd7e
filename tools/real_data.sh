#!/usr/bin/env bash
# Real phased haplotypes for development: fetches the Debian package shapeit4-example once
# into a cache directory and prints the folder that holds reference.vcf.gz (300 phased
# samples, chr20 1.0-4.0 Mb), scaffold.vcf.gz (array sites) and chr20.b37.gmap.gz.
#   tools/real_data.sh CACHE_DIR START-END
# Tuning and comparisons use chr20 2,500,000-4,000,000 only: the rest of the file is kept
# for independent checks, so a region outside that span is refused here (an independent
# check gives the files to tools/simulate.py --from-vcf itself).
set -euo pipefail
usage() { echo "usage: tools/real_data.sh CACHE_DIR START-END (within 2500000-4000000)" >&2; exit 1; }
{ [ $# -eq 2 ] && [ -n "$1" ]; } || usage
cache=$1
region=$2
dev_start=2500000
dev_end=4000000
[[ "$region" =~ ^([0-9]+)-([0-9]+)$ ]] || { echo "tools/real_data.sh: region '$region' is not START-END" >&2; exit 1; }
start=$((10#${BASH_REMATCH[1]}))
end=$((10#${BASH_REMATCH[2]}))
if [ "$start" -lt "$dev_start" ] || [ "$end" -gt "$dev_end" ] || [ "$start" -gt "$end" ]; then
  echo "tools/real_data.sh: region $region lies outside $dev_start-$dev_end, the span kept for development;" \
    "the rest is kept for independent checks" >&2
  exit 1
fi

folder="$cache/usr/share/doc/shapeit4/examples/test"
# Pinned so that figures measured on the data stay comparable across machines.
checksums="20afe8b05faafd482c2f134a1a43aaa8aa839f2f37646b68fe080d015d1f8515  reference.vcf.gz
a164f66b99e8597972a8dd9bff3f5c0f1a09aed594753d327d12f3724b58e74a  scaffold.vcf.gz
8f113aab736f54206a443a3c3ca76670cbeec54eeb2cd4e3af38f7abf5c0954f  chr20.b37.gmap.gz"
if [ ! -f "$cache/.complete" ]; then
  mkdir -p "$cache"
  tmp=$(mktemp -d "$cache/fetch.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && apt-get download shapeit4-example >download.log 2>&1) || {
    echo "tools/real_data.sh: apt-get download shapeit4-example failed (run apt-get update first?):" >&2
    tail -3 "$tmp/download.log" >&2
    exit 1
  }
  dpkg -x "$tmp"/shapeit4-example_*.deb "$tmp/root"
  (cd "$tmp/root/usr/share/doc/shapeit4/examples/test" && sha256sum --quiet -c - <<<"$checksums") || {
    echo "tools/real_data.sh: the downloaded shapeit4-example files differ from the pinned ones" >&2
    exit 1
  }
  rm -rf "${cache:?}/usr"
  mv "$tmp/root/usr" "$cache/usr"
  touch "$cache/.complete"
fi
echo "$folder"
