#!/usr/bin/env bash
# Runs dorsane on the bundled example and compares its calls with the simulated truth.
#   bash examples/run.sh                 build first; writes into build/example/
#   bash examples/run.sh --generate DIR  writes the example data set into DIR (the files
#                                        of examples/ come from "--generate examples";
#                                        needs bgzip, from the tabix package)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--generate" ]; then
  python3 tools/simulate.py --out "$2" --seed 7 --samples 60 --sites 300 --scaffold-every 5 \
    --scaffold-maf 0.05 --coverage 4 --error 0.01 --pl >/dev/null
  # BGZF, so that tabix and bcftools index take it.
  bgzip -f "$2/gl.vcf"
  exit 0
fi

out=build/example
mkdir -p "$out"
./build/dorsane --sample-file examples/samples.txt --glfs examples/gl.vcf.gz \
  --scaffold-file examples/scaffold.txt --region 20:1000000-1028811 --numsnps 15 --seed 7 \
  -o "$out/calls.vcf"
python3 tools/evaluate.py --calls "$out/calls.vcf" --truth examples/truth.vcf \
  --scaffold examples/scaffold.txt --glfs examples/gl.vcf.gz
cat <<TEXT

The calls are in $out/calls.vcf (to look: bcftools view $out/calls.vcf | less -S).
Per sample: the phased genotype (GT), its average posterior (AVGPOST) and the likelihoods
(PL); the 60 array sites copied from the scaffold carry INFO/TYPED. Above, the calls (left)
and the baseline that takes each genotype's most likely PL (right) against the simulated
truth, at the sites that are not array sites, by the truth's minor-allele frequency:
  sites      sites in the bin; genotypes: sites x samples
  missing    share of genotypes not called
  discord.   share of called genotypes that differ from the truth
  NR disc.   non-reference discordance: the same among genotypes with an ALT allele in the
             truth or the call, the figure to compare (lower is better)
The switch-error rate counts phase switches between consecutive heterozygotes called right.
TEXT
