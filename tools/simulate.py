#!/usr/bin/env python3
"""Simulates a low-coverage sequencing cohort with known truth in dorsane's input formats.

Haplotypes are mosaics of a small set of founder haplotypes (a copying model, so
nearby sites are in linkage disequilibrium); derived-allele counts follow the neutral
1/k spectrum, so most variants are rare. Reads are drawn per genotype from a Poisson
depth and a symmetric base-error model and summarised as PL or GL values.

Writes into --out: samples.txt, gl.vcf (gl.vcf.gz with --gzip), scaffold.txt,
truth.vcf, and with the options panel.txt and family.ped. With --reads it also writes
the raw inputs of an upstream pipeline: ref.fa (a generated reference that carries each
site's REF), one read file per sample under reads/ (reads placed at their true positions,
no aligner needed; BAM through samtools) with bams.txt listing them, and array.vcf, the
samples' unphased genotypes at the scaffold sites. Prints the dorsane command line that
analyses the data. Standard library only (samtools for --reads bam).

With --from-vcf the haplotypes are those of a phased VCF instead (see simulate_from_vcf).
"""

import argparse
import bisect
import gzip
import math
import os
import random
import shlex
import shutil
import subprocess
import sys
import zlib

NUCLEOTIDES = "ACGT"
# Outcome tables of one (genotype, depth) larger than this are not built; such
# genotypes draw their reads one by one instead.
MAX_TABLE_OUTCOMES = 4000


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write(f"simulate.py: {message}\n")
        sys.exit(1)


def parse_args(argv):
    p = Parser(description="Simulate a cohort (haplotypes, scaffold, likelihood VCF, truth).", allow_abbrev=False)
    p.add_argument("--out", required=True, help="output directory (created if missing)")
    p.add_argument("--seed", type=int, default=1, help="random seed [1]")
    p.add_argument("--samples", type=int, default=100, help="number of samples, family members included [100]")
    p.add_argument("--sites", type=int, default=1000, help="sites of the likelihood VCF (every simulated site) [1000]")
    p.add_argument("--scaffold-every", type=int, default=5,
                   help="one scaffold site per block of this many sites [5]")
    p.add_argument("--scaffold-maf", type=float, default=0.05,
                   help="minimum sample minor-allele frequency of a scaffold site [0.05]")
    p.add_argument("--coverage", type=float, default=4.0, help="mean read depth (Poisson) [4]")
    p.add_argument("--error", type=float, default=0.01, help="base error rate of a read [0.01]")
    p.add_argument("--founders", type=int, default=20, help="founder haplotypes the mosaics copy from [20]")
    p.add_argument("--segment", type=float, default=None,
                   help="mean length in bp of a segment copied from one founder [100 x spacing]")
    p.add_argument("--miscopy", type=float, default=0.001,
                   help="probability that a haplotype miscopies its founder at a site [0.001]")
    p.add_argument("--chrom", default="20", help="CHROM text [20]")
    p.add_argument("--start", type=int, default=1000000, help="position of the first site [1000000]")
    p.add_argument("--spacing", type=float, default=100.0, help="mean distance between sites in bp [100]")
    p.add_argument("--panel", type=int, default=0, help="reference-panel haplotypes to write (panel.txt) [0]")
    p.add_argument("--trios", type=int, default=0, help="father-mother-child trios among the samples [0]")
    p.add_argument("--duos", type=int, default=0, help="parent-child duos among the samples [0]")
    p.add_argument("--trio-phased", action="store_true",
                   help="phase each parent so its first haplotype carries what it transmits, "
                        "as a trio-phased scaffold does")
    p.add_argument("--crossovers", type=float, default=1.0,
                   help="expected crossovers per meiosis over the region [1]")
    p.add_argument("--multi", type=float, default=0.0, help="fraction of sites with two ALT alleles [0]")
    p.add_argument("--repeated", type=float, default=0.0,
                   help="fraction of sites written at the position of the site before, as an insertion "
                        "after its REF (records that share a position, as split multi-allelic sites) [0]")
    kind = p.add_mutually_exclusive_group()
    kind.add_argument("--pl", dest="kind", action="store_const", const="PL", help="write PL (default)")
    kind.add_argument("--gl", dest="kind", action="store_const", const="GL", help="write GL (log10)")
    p.add_argument("--gzip", action="store_true", help="gzip-compress the likelihood VCF")
    p.add_argument("--reads", choices=("sam", "bam"),
                   help="also write ref.fa, the reads of every sample (reads/, bams.txt) and array.vcf")
    p.add_argument("--read-length", type=int, default=100, help="bp per read with --reads [100]")
    p.add_argument("--dorsane", default="./build/dorsane", help="program name in the printed command [./build/dorsane]")
    real = p.add_argument_group("cohort from a phased VCF (reads simulated on its haplotypes)")
    real.add_argument("--from-vcf", metavar="VCF", help="phased VCF (plain or gzip) whose haplotypes are the truth")
    real.add_argument("--array-sites", metavar="VCF", help="VCF whose bi-allelic sites are the scaffold's array sites")
    real.add_argument("--region", metavar="[CHROM:]START-END", help="positions kept from --from-vcf [all]")
    real.add_argument("--panel-samples", type=int, default=0, metavar="R",
                      help="other samples of --from-vcf written as the panel (2R haplotypes) [0]")
    real.add_argument("--mosaic-segment", type=float, metavar="BP",
                      help="make each sample's haplotypes mosaics of the non-panel haplotypes of --from-vcf, "
                           "switching source at breakpoints of this mean spacing in bp (--samples may then "
                           "exceed the file's) [off: real samples]")
    real.add_argument("--mosaic-miscopy", type=float, default=0.0, metavar="P",
                      help="probability that a mosaic haplotype miscopies its source at a record [0]")
    args = p.parse_args(argv)
    if args.kind is None:
        args.kind = "PL"
    checks = [
        (args.samples >= 1, "--samples must be at least 1"),
        (args.sites >= 1, "--sites must be at least 1"),
        (args.scaffold_every >= 1, "--scaffold-every must be at least 1"),
        (0.0 <= args.scaffold_maf <= 0.5, "--scaffold-maf must lie in [0, 0.5]"),
        (math.isfinite(args.coverage) and 0.0 <= args.coverage <= 1000.0, "--coverage must lie in [0, 1000]"),
        (0.0 < args.error < 0.75, "--error must lie in (0, 0.75)"),
        (2 <= args.founders <= 255, "--founders must lie in [2, 255]"),
        (args.segment is None or (math.isfinite(args.segment) and args.segment > 0), "--segment must be positive"),
        (0.0 <= args.miscopy < 1.0, "--miscopy must lie in [0, 1)"),
        (args.start >= 1, "--start must be at least 1"),
        (math.isfinite(args.spacing) and args.spacing >= 1.0, "--spacing must be at least 1"),
        (args.panel >= 0 and args.trios >= 0 and args.duos >= 0, "--panel, --trios and --duos must not be negative"),
        (3 * args.trios + 2 * args.duos <= args.samples,
         f"--trios {args.trios} and --duos {args.duos} need {3 * args.trios + 2 * args.duos} samples, "
         f"--samples is {args.samples}"),
        (math.isfinite(args.crossovers) and args.crossovers >= 0, "--crossovers must not be negative"),
        (0.0 <= args.multi <= 1.0, "--multi must lie in [0, 1]"),
        (0.0 <= args.repeated < 1.0, "--repeated must lie in [0, 1)"),
        (args.chrom != "" and not any(c.isspace() for c in args.chrom), "--chrom must be one word"),
        (10 <= args.read_length <= 10000, "--read-length must lie in [10, 10000]"),
        (not (args.reads and args.repeated), "--reads does not apply with --repeated (reads carry SNPs only)"),
        (args.reads != "bam" or shutil.which("samtools") is not None,
         "--reads bam needs samtools on PATH (Debian package samtools)"),
    ]
    for ok, message in checks:
        if not ok:
            p.error(message)
    if args.segment is None:
        args.segment = 100.0 * args.spacing
    check_from_vcf_args(p, args, argv)
    return args


def bernoulli_hits(rng, n, p):
    """Indices 0..n-1 that succeed in independent trials of probability p (geometric skips)."""
    if p <= 0.0 or n == 0:
        return []
    if p >= 1.0:
        return list(range(n))
    log_q = math.log1p(-p)
    hits = []
    i = -1
    while True:
        i += 1 + int(math.log(1.0 - rng.random()) / log_q)
        if i >= n:
            return hits
        hits.append(i)


def unordered_index(x, y):
    """Index of the unordered genotype {x, y} in VCF genotype order."""
    lo, hi = (x, y) if x <= y else (y, x)
    return hi * (hi + 1) // 2 + lo


def genotype_pairs(n_alleles):
    return [(t, s) for s in range(n_alleles) for t in range(s + 1)]


class ReadModel:
    """Turns a true genotype into a VCF sample field (GT:PL or GT:GL) through simulated reads."""

    def __init__(self, rng, coverage, error, kind):
        self.rng = rng
        self.error = error
        self.kind = kind
        self.depth_cdf = self._poisson_cdf(coverage)
        self.tables = {}
        self.fields = {}

    @staticmethod
    def _poisson_cdf(mean):
        if mean == 0:
            return [1.0]
        cdf = []
        log_p = -mean
        total = 0.0
        d = 0
        limit = mean + 20.0 * math.sqrt(mean) + 20.0
        while True:
            total += math.exp(log_p)
            cdf.append(total)
            if 1.0 - total < 1e-12 or d > limit:
                break
            d += 1
            log_p += math.log(mean) - math.log(d)
        cdf[-1] = 1.0
        return cdf

    def _base_probs(self, n_alleles, genotype):
        """Per-read probabilities of each allele and, last, of any other base."""
        e = self.error
        x, y = genotype
        probs = []
        for b in range(n_alleles):
            px = 1.0 - e if b == x else e / 3.0
            py = 1.0 - e if b == y else e / 3.0
            probs.append(0.5 * (px + py))
        probs.append(max(0.0, 1.0 - sum(probs)))
        return probs

    def field(self, n_alleles, counts):
        """The sample field for the allele counts of the reads (other bases carry no information)."""
        key = (n_alleles, counts)
        text = self.fields.get(key)
        if text is not None:
            return text
        pairs = genotype_pairs(n_alleles)
        if sum(counts) == 0:
            text = "./." + ":" + ",".join("0" for _ in pairs)
        else:
            log10_lik = []
            for pair in pairs:
                probs = self._base_probs(n_alleles, pair)
                log10_lik.append(sum(c * math.log10(probs[b]) for b, c in enumerate(counts) if c))
            best = max(log10_lik)
            call = pairs[log10_lik.index(best)]
            if self.kind == "PL":
                values = ",".join(str(int(round(-10.0 * (v - best)))) for v in log10_lik)
            else:
                values = ",".join(format_gl(v - best) for v in log10_lik)
            text = f"{call[0]}/{call[1]}:{values}"
        self.fields[key] = text
        return text

    def _table(self, n_alleles, genotype_idx, depth):
        key = (n_alleles, genotype_idx, depth)
        table = self.tables.get(key)
        if table is not None:
            return table
        if math.comb(depth + n_alleles, n_alleles) > MAX_TABLE_OUTCOMES:
            self.tables[key] = False
            return False
        probs = self._base_probs(n_alleles, genotype_pairs(n_alleles)[genotype_idx])
        log_probs = [math.log(p) if p > 0 else None for p in probs]
        cum, texts = [], []
        total = 0.0
        for counts in compositions(depth, n_alleles + 1):
            log_w = math.lgamma(depth + 1)
            for c, lp in zip(counts, log_probs):
                if c:
                    if lp is None:
                        log_w = None
                        break
                    log_w += c * lp - math.lgamma(c + 1)
            if log_w is None:
                continue
            total += math.exp(log_w)
            cum.append(total)
            texts.append(self.field(n_alleles, counts[:-1]))
        table = (cum, texts)
        self.tables[key] = table
        return table

    def sample_field(self, n_alleles, x, y):
        rng = self.rng
        depth = min(bisect.bisect_left(self.depth_cdf, rng.random()), len(self.depth_cdf) - 1)
        table = self._table(n_alleles, unordered_index(x, y), depth)
        if table:
            cum, texts = table
            return texts[min(bisect.bisect_left(cum, rng.random() * cum[-1]), len(texts) - 1)]
        counts = [0] * (n_alleles + 1)
        e = self.error
        for _ in range(depth):
            true = x if rng.random() < 0.5 else y
            if rng.random() >= e:
                counts[true] += 1
            else:
                # One of the three other nucleotides; those beyond the site's alleles are "other".
                other = rng.randrange(3)
                observed = other if other < true else other + 1
                counts[min(observed, n_alleles)] += 1
        return self.field(n_alleles, tuple(counts[:-1]))


def compositions(total, parts):
    """All tuples of `parts` non-negative integers that sum to total."""
    if parts == 1:
        yield (total,)
        return
    for first in range(total + 1):
        for rest in compositions(total - first, parts - 1):
            yield (first,) + rest


def format_gl(value):
    text = f"{value:.3f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


class Cohort:
    """Sample layout: trios (father, mother, child), then duos (parent, child), then unrelated.

    Pool haplotypes are the mosaics: two per sample that is not a child, one per duo for
    the unsampled parent, then the panel. The first `visible` of them reach the samples.
    """

    def __init__(self, args, rng):
        n = args.samples
        width = len(str(n))
        self.ids = [f"S{i + 1:0{width}d}" for i in range(n)]
        self.ped_lines = []
        self.meioses = []  # [sample haplotype column, parent pool hap a, parent pool hap b]
        sample_pool = [None] * (2 * n)
        pool = 0

        def own(sample):
            nonlocal pool
            sample_pool[2 * sample], sample_pool[2 * sample + 1] = pool, pool + 1
            pool += 2

        sample = 0
        for t in range(args.trios):
            father, mother, child = sample, sample + 1, sample + 2
            own(father)
            own(mother)
            self.meioses.append([2 * child, 2 * father, 2 * father + 1])
            self.meioses.append([2 * child + 1, 2 * mother, 2 * mother + 1])
            fam = f"TRIO{t + 1}"
            self.ped_lines.append(f"{fam} {self.ids[father]} 0 0 0 0")
            self.ped_lines.append(f"{fam} {self.ids[mother]} 0 0 0 0")
            self.ped_lines.append(f"{fam} {self.ids[child]} {self.ids[father]} {self.ids[mother]} 0 0")
            sample += 3
        unsampled_columns = []
        for d in range(args.duos):
            parent, child = sample, sample + 1
            own(parent)
            # Alternate the parent's column so both duo layouts occur: the child's
            # haplotype in the matching column comes from that parent.
            first_column = d % 2 == 0
            inherited = 2 * child if first_column else 2 * child + 1
            self.meioses.append([inherited, 2 * parent, 2 * parent + 1])
            unsampled_columns.append(2 * child + 1 if first_column else 2 * child)
            fam = f"DUO{d + 1}"
            self.ped_lines.append(f"{fam} {self.ids[parent]} 0 0 0 0")
            cols = f"{self.ids[parent]} 0" if first_column else f"0 {self.ids[parent]}"
            self.ped_lines.append(f"{fam} {self.ids[child]} {cols} 0 0")
            sample += 2
        for s in range(sample, n):
            own(s)
            self.ped_lines.append(f"{self.ids[s]} {self.ids[s]} 0 0 0 0")
        for column in unsampled_columns:
            sample_pool[column] = pool
            pool += 1
        self.visible = pool
        self.panel = list(range(pool, pool + args.panel))
        self.pool_size = pool + args.panel
        # Each meiosis starts on a randomly chosen haplotype of its parent.
        self.state = [rng.random() < 0.5 for _ in self.meioses]
        for m, (column, a, b) in enumerate(self.meioses):
            sample_pool[column] = sample_pool[b] if self.state[m] else sample_pool[a]
        self.source = sample_pool

    def recombine(self, rng, p_crossover):
        for m in bernoulli_hits(rng, len(self.meioses), p_crossover):
            column, a, b = self.meioses[m]
            self.state[m] = not self.state[m]
            self.source[column] = self.source[b] if self.state[m] else self.source[a]


def positions_along(rng, args):
    positions = []
    pos = args.start
    for _ in range(args.sites):
        positions.append(pos)
        pos += max(1, int(round(rng.expovariate(1.0 / args.spacing))))
    if positions[-1] > 2147483647:
        raise UsageError(f"the last position {positions[-1]} exceeds 2147483647; lower --start, --sites or --spacing")
    # Its own stream, so the other draws are those of a run without repeated positions.
    repeat = random.Random(args.seed * 1000003 + 17)
    for i in range(1, len(positions)):
        if args.repeated and repeat.random() < args.repeated:
            positions[i] = positions[i - 1]
    return positions


class FounderTree:
    """A coalescent genealogy of the founders: a common variant is a clade of it, so
    nearby common variants are nested or disjoint, as on a real local genealogy."""

    def __init__(self, rng, founders):
        lineages = [(1 << f, 0.0) for f in range(founders)]
        time = 0.0
        branches = []
        while len(lineages) > 1:
            k = len(lineages)
            time += rng.expovariate(k * (k - 1) / 2.0)
            a = lineages.pop(rng.randrange(k))
            b = lineages.pop(rng.randrange(k - 1))
            for mask, birth in (a, b):
                branches.append((mask, time - birth))
            lineages.append((a[0] | b[0], time))
        self.by_size = {}
        for mask, length in branches:
            masks, cum = self.by_size.setdefault(bin(mask).count("1"), ([], []))
            masks.append(mask)
            cum.append((cum[-1] if cum else 0.0) + length)
        self.sizes = sorted(self.by_size)

    def clade(self, rng, size):
        """A clade of the size closest to `size`, drawn in proportion to branch length."""
        i = bisect.bisect_left(self.sizes, size)
        options = [s for s in self.sizes[max(0, i - 1):i + 1]]
        best = min(abs(s - size) for s in options)
        chosen = rng.choice([s for s in options if abs(s - size) == best])
        masks, cum = self.by_size[chosen]
        j = min(bisect.bisect_left(cum, rng.random() * cum[-1]), len(masks) - 1)
        return masks[j]


class AlleleSampler:
    """Draws which pool haplotypes carry a derived allele at a site."""

    def __init__(self, rng, pool_size, founders):
        self.rng = rng
        self.pool_size = pool_size
        self.founders = founders
        self.tree = FounderTree(rng, founders)
        weights = [1.0 / k for k in range(1, pool_size)] if pool_size > 1 else [1.0]
        self.cdf = []
        total = 0.0
        for w in weights:
            total += w
            self.cdf.append(total)

    def new_tree(self):
        self.tree = FounderTree(self.rng, self.founders)

    def derived_count(self):
        r = self.rng.random() * self.cdf[-1]
        return min(bisect.bisect_left(self.cdf, r), len(self.cdf) - 1) + 1

    def carriers(self, current):
        """A bytes of 0/1 per pool haplotype; `current` is each haplotype's founder."""
        rng = self.rng
        n = self.pool_size
        k = min(self.derived_count(), n)
        f = self.founders
        if k * f >= n:
            # Common: carried by a clade of founders, so carriers share their flanking alleles.
            mask = self.tree.clade(rng, max(1, min(f - 1, int(round(k * f / n)))))
            table = bytes((mask >> founder) & 1 if founder < f else 0 for founder in range(256))
            return bytes(current).translate(table)
        # Rare: a few haplotypes that copy the same founder here, a recent mutation on its background.
        founder = current[rng.randrange(n)]
        copiers = [h for h in range(n) if current[h] == founder]
        chosen = rng.sample(copiers, min(k, len(copiers)))
        if len(chosen) < k:
            rest = [h for h in range(n) if current[h] != founder]
            chosen += rng.sample(rest, k - len(chosen))
        alleles = bytearray(n)
        for h in chosen:
            alleles[h] = 1
        return bytes(alleles)


def ensure_polymorphic(rng, alleles, visible, n_alleles):
    """Every ALT allele (and at a bi-allelic site REF) occurs among the first `visible`
    haplotypes, taken from copies of the most common allele, so no record is monomorphic
    in the samples."""
    needed = range(n_alleles) if n_alleles == 2 else range(1, n_alleles)
    for a in needed:
        counts = [alleles.count(b, 0, visible) for b in range(n_alleles)]
        if counts[a]:
            continue
        common = counts.index(max(counts))
        if counts[common] < 2:
            return
        holders = [h for h in range(visible) if alleles[h] == common]
        alleles[holders[rng.randrange(len(holders))]] = a


class Output:
    """Files written to a temporary name and renamed once all are complete."""

    def __init__(self, directory):
        self.directory = directory
        self.files = []

    def open(self, name, compress=False):
        path = os.path.join(self.directory, name)
        tmp = path + ".tmp"
        raw = open(tmp, "wb")
        handle = gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=6, mtime=0) if compress else raw
        self.files.append((path, tmp, handle, raw))
        return handle

    def made(self, name):
        """A temporary path for a file another program writes; renamed with the rest."""
        path = os.path.join(self.directory, name)
        self.files.append((path, path + ".tmp", None, None))
        return path + ".tmp"

    def commit(self):
        for _, _, handle, raw in self.files:
            if handle is None:
                continue
            handle.close()
            if raw is not handle:
                raw.close()
        for path, tmp, _, _ in self.files:
            os.replace(tmp, path)

    def abandon(self):
        for _, tmp, handle, raw in self.files:
            try:
                if handle is not None:
                    handle.close()
                if raw is not None and raw is not handle:
                    raw.close()
            finally:
                if os.path.exists(tmp):
                    os.remove(tmp)


def argv_without_out(argv):
    """The options that decide the content, so the same data gets the same header wherever it is written."""
    kept, skip = [], False
    for a in argv:
        if skip:
            skip = False
        elif a == "--out":
            skip = True
        elif not a.startswith("--out="):
            kept.append(a)
    return kept


def vcf_header(args, ids, format_lines, extra=()):
    lines = ["##fileformat=VCFv4.2", "##source=dorsane-simulate", f"##contig=<ID={args.chrom}>"]
    lines += list(extra)
    lines += format_lines
    lines.append("\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT"] + ids))
    return "\n".join(lines) + "\n"


def open_cohort_files(out, args, argv, ids, with_panel):
    """Writes samples.txt and opens the likelihood VCF, truth, scaffold and (with_panel) panel
    files with their headers; returns them and the likelihood file's name."""
    out.open("samples.txt").write("".join(i + "\n" for i in ids).encode())
    gl_name = "gl.vcf.gz" if args.gzip else "gl.vcf"
    gl = out.open(gl_name, compress=args.gzip)
    truth = out.open("truth.vcf")
    scaffold = out.open("scaffold.txt")
    panel = out.open("panel.txt") if with_panel else None
    if args.kind == "PL":
        lik_line = '##FORMAT=<ID=PL,Number=G,Type=Integer,Description="Phred-scaled genotype likelihoods">'
    else:
        lik_line = '##FORMAT=<ID=GL,Number=G,Type=Float,Description="Log10 genotype likelihoods">'
    gt_line = '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">'
    gl.write(vcf_header(args, ids, [gt_line, lik_line]).encode())
    truth.write(vcf_header(args, ids, [gt_line], [simulate_command_line(argv)]).encode())
    return gl, truth, scaffold, panel, gl_name


def simulate_command_line(argv):
    """The header line that records how the files were made."""
    return "##simulate_command=" + " ".join(shlex.quote(a) for a in argv_without_out(argv))


class ReadWriter:
    """The raw inputs upstream of the likelihoods: a reference, every sample's reads at their
    true positions with the simulated alleles and base errors, and an unphased array VCF."""

    def __init__(self, args, ids):
        # Its own stream, so the other files are the same with and without --reads.
        self.rng = random.Random(args.seed * 1000003 + 29)
        self.args = args
        self.ids = ids
        self.sites = []  # (pos, bases, haplotype alleles)
        self.array = []  # (pos, ref, alt, haplotype alleles) at the scaffold sites

    def write(self, out, header_command):
        args, rng = self.args, self.rng
        length = args.read_length
        positions = [site[0] for site in self.sites]
        reference = rng.choices(NUCLEOTIDES, k=positions[-1] + length)
        for pos, bases, _ in self.sites:
            reference[pos - 1] = bases[0]
        reference = "".join(reference)
        fasta = out.open("ref.fa")
        fasta.write(f">{args.chrom}\n".encode())
        fasta.write("".join(reference[i:i + 60] + "\n" for i in range(0, len(reference), 60)).encode())
        out.open("ref.fa.fai").write(f"{args.chrom}\t{len(reference)}\t{len(args.chrom) + 2}\t60\t61\n".encode())
        os.makedirs(os.path.join(args.out, "reads"), exist_ok=True)
        listed = []
        for column, sample in enumerate(self.ids):
            sam = self.sample_sam(sample, column, reference, positions)
            listed.append(os.path.abspath(os.path.join(args.out, "reads", f"{sample}.{args.reads}")))
            if args.reads == "sam":
                out.open(f"reads/{sample}.sam").write(sam.encode())
                continue
            bam = out.made(f"reads/{sample}.bam")
            subprocess.run(["samtools", "view", "-b", "-o", bam, "-"], input=sam.encode(), check=True)
            subprocess.run(["samtools", "index", bam, out.made(f"reads/{sample}.bam.bai")], check=True)
        out.open("bams.txt").write("".join(path + "\n" for path in listed).encode())
        self.write_array(out.open("array.vcf"), header_command)

    def sample_sam(self, sample, column, reference, positions):
        args, rng = self.args, self.rng
        length = args.read_length
        quality = chr(33 + max(2, min(41, int(round(-10.0 * math.log10(args.error)))))) * length
        first, last = max(1, positions[0] - length + 1), positions[-1]
        count = int(round(args.coverage * (last - first + 1) / length))
        lines = ["@HD\tVN:1.6\tSO:coordinate\n", f"@SQ\tSN:{args.chrom}\tLN:{len(reference)}\n",
                 f"@RG\tID:{sample}\tSM:{sample}\n"]
        for r, start in enumerate(sorted(rng.randint(first, last) for _ in range(count))):
            hap = 2 * column + rng.randrange(2)
            seq = list(reference[start - 1:start - 1 + length])
            for j in range(bisect.bisect_left(positions, start), bisect.bisect_left(positions, start + length)):
                pos, bases, haps = self.sites[j]
                seq[pos - start] = bases[haps[hap]]
            for i in bernoulli_hits(rng, length, args.error):
                seq[i] = NUCLEOTIDES[(NUCLEOTIDES.index(seq[i]) + 1 + rng.randrange(3)) % 4]
            flag = 16 if rng.random() < 0.5 else 0
            lines.append(f"{sample}.{r + 1}\t{flag}\t{args.chrom}\t{start}\t60\t{length}M\t*\t0\t0\t"
                         f"{''.join(seq)}\t{quality}\tRG:Z:{sample}\n")
        return "".join(lines)

    def write_array(self, handle, header_command):
        gt_line = '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">'
        handle.write(vcf_header(self.args, self.ids, [gt_line], [header_command]).encode())
        unphased = [[f"{min(a, b)}/{max(a, b)}" for b in range(2)] for a in range(2)]
        for pos, ref, alt, haps in self.array:
            gts = "\t".join(unphased[x][y] for x, y in zip(haps[0::2], haps[1::2]))
            handle.write(f"{self.args.chrom}\t{pos}\t{self.args.chrom}:{pos}\t{ref}\t{alt}\t.\tPASS\t.\tGT\t{gts}\n"
                         .encode())


def simulate(args, argv):
    rng = random.Random(args.seed)
    positions = positions_along(rng, args)
    cohort = Cohort(args, rng)
    n = args.samples
    reads = ReadModel(rng, args.coverage, args.error, args.kind)
    alleles_of = AlleleSampler(rng, cohort.pool_size, args.founders)
    current = bytearray(rng.randrange(args.founders) for _ in range(cohort.pool_size))
    span = positions[-1] - positions[0]
    crossover_rate = args.crossovers / span if span > 0 else 0.0

    os.makedirs(args.out, exist_ok=True)
    out = Output(args.out)
    raw = ReadWriter(args, cohort.ids) if args.reads else None
    try:
        if args.trios or args.duos:
            out.open("family.ped").write("".join(line + "\n" for line in cohort.ped_lines).encode())
        gl, truth, scaffold, panel, gl_name = open_cohort_files(out, args, argv, cohort.ids, args.panel)

        phased = [[f"{a}|{b}" for b in range(3)] for a in range(3)]
        fmt = "GT:" + args.kind
        visible = cohort.visible
        block_pick, block_seen, block_end = None, 0, args.scaffold_every
        scaffold_count = 0
        prev = positions[0]
        for i, pos in enumerate(positions):
            distance = pos - prev
            prev = pos
            if i > 0:
                p_switch = -math.expm1(-distance / args.segment)
                for h in bernoulli_hits(rng, cohort.pool_size, p_switch):
                    step = 1 + rng.randrange(args.founders - 1)
                    current[h] = (current[h] + step) % args.founders
                cohort.recombine(rng, -math.expm1(-distance * crossover_rate))
                if rng.random() < -math.expm1(-distance / (2.0 * args.segment)):
                    alleles_of.new_tree()

            multi = rng.random() < args.multi
            n_alleles = 3 if multi else 2
            alleles = bytearray(alleles_of.carriers(current))
            if multi:
                second = alleles_of.carriers(current)
                for h in range(cohort.pool_size):
                    if second[h] and not alleles[h]:
                        alleles[h] = 2
            for h in bernoulli_hits(rng, cohort.pool_size, args.miscopy):
                alleles[h] = (alleles[h] + 1 + rng.randrange(n_alleles - 1)) % n_alleles
            ensure_polymorphic(rng, alleles, visible, n_alleles)
            haps = bytes(map(alleles.__getitem__, cohort.source))
            if args.trio_phased:
                haps = bytearray(haps)
                for (column, a, b), from_b in zip(cohort.meioses, cohort.state):
                    # A meiosis whose parent is not sampled (a duo's other side) has no columns.
                    if from_b and a < len(haps):
                        haps[a], haps[b] = haps[b], haps[a]
                haps = bytes(haps)

            bases = rng.sample(NUCLEOTIDES, n_alleles)
            ref, alt = bases[0], ",".join(bases[1:])
            shares_position = i > 0 and positions[i - 1] == pos
            if shares_position and not multi:
                ref, alt = previous_ref, previous_ref + bases[1]
            previous_ref = ref
            firsts, seconds = haps[0::2], haps[1::2]
            fields = "\t".join(reads.sample_field(n_alleles, x, y) for x, y in zip(firsts, seconds))
            gl.write(f"{args.chrom}\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\t.\t{fmt}\t{fields}\n".encode())
            if raw is not None:
                raw.sites.append((pos, bases, haps))
            gts = "\t".join(phased[x][y] for x, y in zip(firsts, seconds))
            truth.write(f"{args.chrom}\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t{gts}\n".encode())
            if panel is not None and not multi:
                values = " ".join("01"[alleles[h]] for h in cohort.panel)
                panel.write(f"{args.chrom} {args.chrom}:{pos} {pos} {ref} {alt} {values}\n".encode())

            if not multi and not shares_position:
                alt_count = haps.count(1)
                maf = min(alt_count, 2 * n - alt_count) / (2 * n)
                if maf >= args.scaffold_maf and maf > 0:
                    block_seen += 1
                    if rng.random() * block_seen < 1.0:
                        block_pick = (pos, ref, alt, haps)
            if i + 1 == block_end or i + 1 == len(positions):
                if block_pick is not None:
                    pos_s, ref_s, alt_s, haps_s = block_pick
                    values = " ".join("01"[a] for a in haps_s)
                    scaffold.write(f"{args.chrom} {args.chrom}:{pos_s} {pos_s} {ref_s} {alt_s} {values}\n".encode())
                    scaffold_count += 1
                    if raw is not None:
                        raw.array.append(block_pick)
                block_pick, block_seen, block_end = None, 0, block_end + args.scaffold_every
        if raw is not None:
            raw.write(out, simulate_command_line(argv))
        out.commit()
    except BaseException:
        out.abandon()
        raise
    return positions, scaffold_count, gl_name


def dorsane_command(args, positions, scaffold_count, gl_name):
    def path(name):
        return shlex.quote(os.path.join(args.out, name))

    numsnps = min(50, max(1, scaffold_count // 4))
    parts = [shlex.quote(args.dorsane), "--sample-file", path("samples.txt"), "--glfs", path(gl_name),
             "--scaffold-file", path("scaffold.txt"), "--o", path("calls.vcf"),
             "--int", str(positions[0]), str(positions[-1]), "--numsnps", str(numsnps)]
    if args.trios or args.duos:
        parts += ["--ped-file", path("family.ped")]
    if args.panel:
        parts += ["--ref-panel", path("panel.txt")]
    parts += ["--seed", str(args.seed)]
    return " ".join(parts)


# A cohort from a phased VCF: its haplotypes are the truth, reads are simulated on them as
# above, the scaffold takes the array sites, the panel other samples of the same file.

# Options of the founder-mosaic simulation, which have no meaning when the haplotypes are given.
SIMULATION_ONLY = ("--sites", "--scaffold-every", "--scaffold-maf", "--founders", "--segment", "--miscopy",
                   "--chrom", "--start", "--spacing", "--panel", "--trios", "--duos", "--trio-phased",
                   "--crossovers", "--multi", "--repeated", "--reads", "--read-length")
FROM_VCF_ONLY = ("--array-sites", "--region", "--panel-samples", "--mosaic-segment", "--mosaic-miscopy")
VCF_COLUMNS = ["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT"]
# A homozygote needs no phase, so "0/0" and "1/1" are as good as "0|0" and "1|1".
HAPLOTYPES_OF_GT = {"0|0": b"\0\0", "0|1": b"\0\1", "1|0": b"\1\0", "1|1": b"\1\1",
                    "0/0": b"\0\0", "1/1": b"\1\1"}


def check_from_vcf_args(p, args, argv):
    given = {a.split("=", 1)[0] for a in argv if a.startswith("--")}
    if args.from_vcf is None:
        for name in FROM_VCF_ONLY:
            if name in given:
                p.error(f"{name} needs --from-vcf")
        return
    for name in SIMULATION_ONLY:
        if name in given:
            p.error(f"{name} does not apply with --from-vcf")
    if args.array_sites is None:
        p.error("--from-vcf needs --array-sites")
    if args.panel_samples < 0:
        p.error("--panel-samples must not be negative")
    if args.mosaic_segment is not None and not (math.isfinite(args.mosaic_segment) and args.mosaic_segment > 0):
        p.error("--mosaic-segment must be positive")
    if not 0.0 <= args.mosaic_miscopy < 1.0:
        p.error("--mosaic-miscopy must lie in [0, 1)")
    if args.mosaic_segment is None and "--mosaic-miscopy" in given:
        p.error("--mosaic-miscopy needs --mosaic-segment")
    args.region_span = parse_region(args.region) if args.region is not None else (None, 1, 2147483647)
    if args.region_span is None:
        p.error(f"--region {args.region}: expected [CHROM:]START-END with 1 <= START <= END <= 2147483647")


def parse_region(text):
    """(CHROM or None, START, END) of [CHROM:]START-END (commas allowed in numbers); None if malformed."""
    chrom, _, span = text.rpartition(":")
    start, dash, end = span.replace(",", "").partition("-")
    if not dash or not start.isascii() or not start.isdigit() or not end.isascii() or not end.isdigit():
        return None
    start, end = int(start), int(end)
    if not 1 <= start <= end <= 2147483647:
        return None
    return chrom or None, start, end


def vcf_lines(path):
    """(line number, line) of a plain or gzip VCF; a read failure names the file."""
    try:
        with open(path, "rb") as raw:
            compressed = raw.read(2) == b"\x1f\x8b"
        with (gzip.open(path, "rb") if compressed else open(path, "rb")) as handle:
            for number, raw_line in enumerate(handle, 1):
                if number == 1 and raw_line.startswith(b"BCF"):
                    raise UsageError(f"{path}: a BCF file; give it as VCF (bcftools view -Oz)")
                try:
                    line = raw_line.decode()
                except UnicodeDecodeError:
                    raise UsageError(f"{path}: line {number}: not UTF-8 text") from None
                yield number, line.rstrip("\r\n")
    except (OSError, EOFError, zlib.error) as err:
        raise UsageError(f"{path}: cannot be read: {getattr(err, 'strerror', None) or err}") from None


def vcf_position(path, number, text):
    if not (text.isascii() and text.isdigit() and 1 <= int(text) <= 2147483647):
        raise UsageError(f"{path}: line {number}: POS '{text}' is not a whole number from 1 to 2147483647")
    return int(text)


class PhasedRecords:
    """The region's usable records of a phased VCF: bi-allelic, every chosen genotype phased (or
    homozygous) and the cohort carrying both alleles. Cohort and panel are disjoint random
    samples; with mosaics the cohort side is every sample outside the panel, the haplotypes the
    mosaics copy. `skipped` counts the records left out, by reason."""

    def __init__(self, args, rng):
        path = args.from_vcf
        region_chrom, start, end = args.region_span
        self.chrom, self.ids, self.records = region_chrom, None, []
        self.skipped = {"not bi-allelic": 0, "with an unphased or missing genotype": 0, "monomorphic in the cohort": 0}
        self.seen = 0
        width, last = 0, 0
        for number, line in vcf_lines(path):
            if self.ids is None:
                if line.startswith("#CHROM"):
                    names = line.split("\t")
                    if names[:9] != VCF_COLUMNS or len(names) < 10:
                        raise UsageError(f"{path}: line {number}: the #CHROM line needs FORMAT and sample columns")
                    names = names[9:]
                    mosaic = args.mosaic_segment is not None
                    need = args.panel_samples + 1 if mosaic else args.samples + args.panel_samples
                    if need > len(names):
                        raise UsageError(f"{path}: {len(names)} samples, --panel-samples {args.panel_samples} "
                                         "leaves none for the mosaics to copy" if mosaic else
                                         f"{path}: {len(names)} samples, --samples {args.samples} and "
                                         f"--panel-samples {args.panel_samples} need {need}")
                    if len(set(names)) != len(names):
                        raise UsageError(f"{path}: line {number}: a sample name occurs twice")
                    # A shuffle, so the cohort (and the reads after it) do not depend on the panel's size.
                    picked = list(range(len(names)))
                    rng.shuffle(picked)
                    if mosaic:
                        self.panel = [9 + c for c in sorted(picked[:args.panel_samples])]
                        self.cohort = [9 + c for c in sorted(picked[args.panel_samples:])]
                    else:
                        self.cohort = [9 + c for c in sorted(picked[:args.samples])]
                        self.panel = [9 + c for c in sorted(picked[args.samples:need])]
                    self.ids = [names[c - 9] for c in self.cohort]
                    width = 9 + len(names)
                elif not line.startswith("##"):
                    raise UsageError(f"{path}: line {number}: a record before the #CHROM line")
                continue
            if not line:
                continue
            f = line.split("\t")
            if len(f) != width:
                raise UsageError(f"{path}: line {number}: {len(f)} fields, the #CHROM line has {width}")
            if region_chrom is not None and f[0] != region_chrom:
                continue
            if self.chrom is None:
                self.chrom = f[0]
            elif f[0] != self.chrom:
                raise UsageError(f"{path}: line {number}: chromosome '{f[0]}' after '{self.chrom}'; "
                                 "name one with --region CHROM:START-END")
            pos = vcf_position(path, number, f[1])
            if pos < last:
                raise UsageError(f"{path}: line {number}: position {pos} after {last}: the file is not sorted")
            last = pos
            if pos < start:
                continue
            if pos > end:
                break
            self.seen += 1
            self._add(f, pos)
        if self.ids is None:
            raise UsageError(f"{path}: no #CHROM line")

    def _add(self, f, pos):
        ref, alt = f[3], f[4]
        if "," in alt or alt in (".", "*") or alt.startswith("<") or ref == alt:
            self.skipped["not bi-allelic"] += 1
            return
        haplotypes = []
        has_gt = f[8].split(":", 1)[0] == "GT"
        for columns in (self.cohort, self.panel):
            haps = bytearray()
            for c in columns:
                pair = HAPLOTYPES_OF_GT.get(f[c]) or HAPLOTYPES_OF_GT.get(f[c].split(":", 1)[0])
                if pair is None or not has_gt:
                    self.skipped["with an unphased or missing genotype"] += 1
                    return
                haps += pair
            haplotypes.append(bytes(haps))
        carriers = haplotypes[0].count(1)
        if carriers == 0 or carriers == len(haplotypes[0]):
            self.skipped["monomorphic in the cohort"] += 1
            return
        self.records.append((pos, f[2], ref, alt, haplotypes[0], haplotypes[1]))


def read_array_sites(path, chrom, start, end):
    """(POS, REF, ALT) of the bi-allelic records of CHROM within START..END."""
    sites = set()
    for number, line in vcf_lines(path):
        if not line or line.startswith("#"):
            continue
        f = line.split("\t", 5)
        if len(f) < 5:
            raise UsageError(f"{path}: line {number}: {len(f)} fields, a VCF record has at least 8")
        if f[0] == chrom and "," not in f[4]:
            pos = vcf_position(path, number, f[1])
            if start <= pos <= end:
                sites.add((pos, f[3], f[4]))
    return sites


def make_mosaics(rng, data, samples, segment, miscopy):
    """Replaces the cohort side of data's records by 2 x `samples` haplotypes copied from it: each
    starts on a random source haplotype and switches to another at breakpoints of exponential
    spacing (mean `segment` bp), miscopying a record with probability `miscopy`. Records the
    mosaics leave monomorphic are dropped."""
    sources = 2 * len(data.cohort)
    n = 2 * samples
    first, last = data.records[0][0], data.records[-1][0]
    breakpoints = []
    for h in range(n):
        pos = first + rng.expovariate(1.0 / segment)
        while pos <= last:
            breakpoints.append((pos, h))
            pos += rng.expovariate(1.0 / segment)
    breakpoints.sort()
    current = [rng.randrange(sources) for _ in range(n)]
    kept, b = [], 0
    for pos, vid, ref, alt, source, panel_haps in data.records:
        while b < len(breakpoints) and breakpoints[b][0] <= pos:
            h = breakpoints[b][1]
            if sources > 1:
                current[h] = (current[h] + 1 + rng.randrange(sources - 1)) % sources
            b += 1
        haps = bytes(map(source.__getitem__, current))
        if miscopy:
            haps = bytearray(haps)
            for h in bernoulli_hits(rng, n, miscopy):
                haps[h] ^= 1
        carriers = haps.count(1)
        if carriers == 0 or carriers == n:
            data.skipped["monomorphic in the cohort"] += 1
            continue
        kept.append((pos, vid, ref, alt, bytes(haps), panel_haps))
    data.records = kept
    data.ids = [f"mosaic{i + 1}" for i in range(samples)]


def simulate_from_vcf(args, argv):
    """Writes the cohort's files; returns the likelihood positions, the scaffold size and the VCF's name.

    The likelihood VCF, the truth and the panel hold every usable record (bi-allelic, phased,
    polymorphic in the cohort: sites no sample carries would not be discovered from its reads);
    the scaffold holds those whose CHROM, POS, REF and ALT are an array site's."""
    rng = random.Random(args.seed)
    data = PhasedRecords(args, rng)
    _, start, end = args.region_span
    sources = 2 * len(data.cohort)
    if data.records and args.mosaic_segment is not None:
        make_mosaics(rng, data, args.samples, args.mosaic_segment, args.mosaic_miscopy)
    if not data.records:
        raise UsageError(f"{args.from_vcf}: no record in {args.region or 'the file'}" if not data.seen else
                         f"{args.from_vcf}: none of the {data.seen} records in {args.region or 'the file'} "
                         f"is usable ({skip_summary(data.skipped)})")
    sites = read_array_sites(args.array_sites, data.chrom, start, end)
    args.chrom = data.chrom
    count = {}
    for r in data.records:
        count[r[0]] = count.get(r[0], 0) + 1
    # dorsane keeps one scaffold line per position, so a position with two records gets none.
    on_scaffold = [(r[0], r[2], r[3]) in sites and count[r[0]] == 1 for r in data.records]
    reads = ReadModel(rng, args.coverage, args.error, args.kind)

    os.makedirs(args.out, exist_ok=True)
    out = Output(args.out)
    try:
        gl, truth, scaffold, panel, gl_name = open_cohort_files(out, args, argv, data.ids,
                                                                args.panel_samples)
        fmt = "GT:" + args.kind
        chrom = data.chrom
        for (pos, vid, ref, alt, haps, panel_haps), scaffolded in zip(data.records, on_scaffold):
            firsts, seconds = haps[0::2], haps[1::2]
            fields = "\t".join(reads.sample_field(2, x, y) for x, y in zip(firsts, seconds))
            gl.write(f"{chrom}\t{pos}\t{vid}\t{ref}\t{alt}\t.\tPASS\t.\t{fmt}\t{fields}\n".encode())
            gts = "\t".join(f"{x}|{y}" for x, y in zip(firsts, seconds))
            truth.write(f"{chrom}\t{pos}\t{vid}\t{ref}\t{alt}\t.\tPASS\t.\tGT\t{gts}\n".encode())
            if scaffolded:
                values = " ".join("01"[a] for a in haps)
                scaffold.write(f"{chrom} {chrom}:{pos} {pos} {ref} {alt} {values}\n".encode())
            if panel is not None:
                values = " ".join("01"[a] for a in panel_haps)
                panel.write(f"{chrom} {chrom}:{pos} {pos} {ref} {alt} {values}\n".encode())
        out.commit()
    except BaseException:
        out.abandon()
        raise
    scaffold_count = sum(on_scaffold)
    mosaics = (f"; {args.samples} samples are mosaics of {sources} source haplotypes"
               if args.mosaic_segment is not None else "")
    sys.stderr.write(f"simulate.py: {chrom}:{start}-{end}: {len(data.records)} of {data.seen} records kept "
                     f"({skip_summary(data.skipped)}); {scaffold_count} of the {len(sites)} array sites "
                     f"on the scaffold{mosaics}\n")
    return [r[0] for r in data.records], scaffold_count, gl_name


def skip_summary(skipped):
    return ", ".join(f"{n} {reason}" for reason, n in skipped.items() if n) or "none left out"


def main_from_vcf(args, argv):
    try:
        positions, scaffold_count, gl_name = simulate_from_vcf(args, ["simulate.py"] + argv)
    except (UsageError, OSError) as err:
        sys.stderr.write(f"simulate.py: {err}\n")
        return 1
    if scaffold_count < 2:
        sys.stderr.write(f"simulate.py: warning: only {scaffold_count} scaffold sites: few array sites match "
                         "a kept record by CHROM, POS, REF and ALT\n")
    args.panel = 2 * args.panel_samples
    print(dorsane_command(args, positions, scaffold_count, gl_name))
    return 0


def main(argv):
    args = parse_args(argv)
    if args.from_vcf is not None:
        return main_from_vcf(args, argv)
    try:
        positions, scaffold_count, gl_name = simulate(args, ["simulate.py"] + argv)
    except (UsageError, OSError, subprocess.CalledProcessError) as err:
        sys.stderr.write(f"simulate.py: {err}\n")
        return 1
    if scaffold_count < 2:
        sys.stderr.write(f"simulate.py: warning: only {scaffold_count} scaffold sites; dorsane needs more "
                         "(raise --sites, lower --scaffold-every or --scaffold-maf)\n")
    print(dorsane_command(args, positions, scaffold_count, gl_name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
