#!/usr/bin/env bash
# Phases a simulated cohort's array genotypes as users have them: the truth's genotypes at
# the scaffold's sites, unphased, phased by SHAPEIT4 with the genetic map (and the cohort's
# panel, when the folder holds one), as the workflow phases an array. Writes
# DIR/scaffold.phased.txt, in the layout and at the sites of DIR/scaffold.txt.
#   tools/phase_scaffold.sh DIR GENETIC_MAP [SEED]
# DIR is a tools/simulate.py --from-vcf folder (truth.vcf, scaffold.txt, panel.txt if any).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: tools/phase_scaffold.sh DIR GENETIC_MAP [SEED]" >&2; exit 1; }
dir=$1
map=$2
seed=${3:-1}
for tool in shapeit4 bcftools bgzip; do
  command -v "$tool" >/dev/null || { echo "tools/phase_scaffold.sh: needs $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
work=$(mktemp -d "$dir/phase.XXXXXX")
trap 'rm -rf "$work"' EXIT
chrom=$(awk 'NR == 1 {print $1}' "$dir/scaffold.txt")
awk '{print $1 "\t" $3}' "$dir/scaffold.txt" >"$work/sites.tsv"

# The array's genotypes: the truth at the scaffold's sites, with their phase taken away.
bcftools view -T "$work/sites.tsv" "$dir/truth.vcf" -Ou 2>"$work/log" |
  bcftools +setGT -Ou - -- -t a -n u 2>>"$work/log" |
  bcftools view -Oz -o "$work/array.vcf.gz" 2>>"$work/log"
bcftools index -f "$work/array.vcf.gz"
reference=()
if [ -f "$dir/panel.txt" ]; then
  # The panel's text layout as a phased VCF; its samples need names of their own.
  count=$(awk 'NR == 1 {print (NF - 5) / 2; exit}' "$dir/panel.txt")
  {
    printf '##fileformat=VCFv4.2\n##contig=<ID=%s>\n' "$chrom"
    printf '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
    printf '#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT'
    for ((i = 1; i <= count; i++)); do printf '\tpanel%d' "$i"; done
    printf '\n'
    awk -v OFS='\t' '{
      line = $1 OFS $3 OFS $2 OFS $4 OFS $5 OFS "." OFS "PASS" OFS "." OFS "GT"
      for (i = 6; i < NF; i += 2) line = line OFS $i "|" $(i + 1)
      print line }' "$dir/panel.txt"
  } | bgzip >"$work/panel.vcf.gz"
  bcftools index -f "$work/panel.vcf.gz"
  reference=(--reference "$work/panel.vcf.gz")
fi
shapeit4 --input "$work/array.vcf.gz" --map "$map" --region "$chrom" "${reference[@]}" \
  --seed "$seed" --output "$work/phased.bcf" >"$work/shapeit4.log" 2>&1 || {
  tail -5 "$work/shapeit4.log" >&2
  exit 1
}
bcftools query -f '%CHROM %CHROM:%POS %POS %REF %ALT[ %GT]\n' "$work/phased.bcf" |
  sed -E 's/([01])\|([01])/\1 \2/g' >"$work/scaffold.phased.txt"
if [ "$(wc -l <"$work/scaffold.phased.txt")" -ne "$(wc -l <"$dir/scaffold.txt")" ]; then
  echo "tools/phase_scaffold.sh: SHAPEIT4 kept $(wc -l <"$work/scaffold.phased.txt") of the" \
    "$(wc -l <"$dir/scaffold.txt") scaffold sites" >&2
  exit 1
fi
mv "$work/scaffold.phased.txt" "$dir/scaffold.phased.txt"
