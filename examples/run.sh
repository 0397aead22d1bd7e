#!/usr/bin/env bash
# Runs dorsane on the bundled example and compares its calls with the simulated truth.
#   bash examples/run.sh                 build first; writes into build/example/
#   bash examples/run.sh --generate DIR  writes the example data set into DIR (the files
#                                        of examples/ come from "--generate examples")
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--generate" ]; then
  python3 tools/simulate.py --out "$2" --seed 7 --samples 60 --sites 300 --scaffold-every 5 \
    --scaffold-maf 0.05 --coverage 4 --error 0.01 --pl --gzip >/dev/null
  exit 0
fi

out=build/example
mkdir -p "$out"
./build/dorsane --sample-file examples/samples.txt --glfs examples/gl.vcf.gz \
  --scaffold-file examples/scaffold.txt --o "$out/calls.vcf" --int 1000000 1028806 \
  --numsnps 15 --seed 7
python3 tools/evaluate.py --calls "$out/calls.vcf" --truth examples/truth.vcf \
  --scaffold examples/scaffold.txt --glfs examples/gl.vcf.gz
