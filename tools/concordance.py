#!/usr/bin/env python3
"""Concordance of called genotypes with a truth VCF of the same samples (such as
high-coverage calls), by minor-allele frequency and by sample.

    concordance.py --truth truth.vcf.gz --calls calls.vcf.gz [--frequency panel.vcf.gz]
                   [--bins 0,0.01,0.05,0.5] [--keep-typed] [--tsv out.tsv]
                   [--sample-tsv samples.tsv] [--plot out.png]

Each ALT allele of a truth record is one site, matched to the calls by CHROM, POS, REF and
that ALT (so split and joined multi-allelic records compare alike); a genotype is the
count of that ALT allele. A truth site the calls lack counts as a hom-ref call of every
sample (as a caller that left it out would be read). Sites the calls flag INFO/TYPED (the
array sites dorsane copies from the scaffold) are left out unless --keep-typed.

Per MAF bin and over all sites: genotype discordance, non-reference discordance (over
genotypes with the ALT in the truth or the calls) and the dosage r² (squared correlation of
the truth's ALT count with the calls' DS, or their GT count without DS). The switch error is
counted over consecutive heterozygotes phased in both files and called right, and only
where the truth is phased; it stands in the "all" row. The MAF comes from --frequency (a
panel VCF: its INFO/AF, else its genotypes), else from the truth's genotypes; never from
the calls, whose errors would move a site between bins. A second table gives each truth
sample's discordance, non-reference discordance and r² over the same sites.

Reads VCF (plain or gzip) directly and BCF through bcftools. matplotlib
(python3-matplotlib) only for --plot. Exits 1 with a one-line message on bad input.
"""

import argparse
import gzip
import math
import os
import subprocess
import sys
import zlib

DEFAULT_BINS = "0,0.01,0.05,0.5"
COLUMNS = ("bin", "sites", "sites_not_called", "genotypes", "missing", "discordant",
           "discordance", "nonref", "nonref_discordant", "nonref_discordance", "dosage_r2",
           "switch_pairs", "switches", "switch_error")
SAMPLE_COLUMNS = ("sample", "genotypes", "missing", "discordant", "discordance", "nonref",
                  "nonref_discordant", "nonref_discordance", "dosage_r2")
# Debian's interpreter, the one python3-matplotlib installs for.
SYSTEM_PYTHON = "/usr/bin/python3"


class InputError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write(f"concordance.py: {message}\n")
        sys.exit(1)


def parse_args(argv):
    p = Parser(description="Concordance of calls with a truth VCF by MAF bin and by sample.",
               allow_abbrev=False)
    p.add_argument("--truth", required=True, help="truth VCF/BCF of the same samples")
    p.add_argument("--calls", required=True, help="called VCF/BCF (DS used for r² where present)")
    p.add_argument("--frequency", metavar="PANEL",
                   help="VCF/BCF whose INFO/AF (or genotypes) gives each site's frequency "
                        "[the truth's genotypes]")
    p.add_argument("--bins", default=DEFAULT_BINS,
                   help=f"increasing MAF edges from 0 to at most 0.5; bins are (low, high], the first "
                        f"[0, high] [{DEFAULT_BINS}]")
    p.add_argument("--keep-typed", action="store_true",
                   help="also count the sites the calls flag INFO/TYPED (array sites)")
    p.add_argument("--tsv", help="write the table by bin here instead of standard output")
    p.add_argument("--sample-tsv", metavar="FILE",
                   help="write the table by sample here instead of standard output")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw discordance and r² against the MAF (needs matplotlib)")
    args = p.parse_args(argv)
    try:
        args.edges = [float(v) for v in args.bins.split(",")]
    except ValueError:
        p.error(f"--bins '{args.bins}': expected numbers separated by commas")
    edges = args.edges
    if (len(edges) < 2 or edges[0] != 0.0 or edges[-1] > 0.5
            or any(b <= a for a, b in zip(edges, edges[1:]))):
        p.error(f"--bins '{args.bins}': expected at least two increasing edges from 0 to at most 0.5")
    return args


def vcf_lines(path):
    """(line number, line) of a VCF, plain or gzip, or of a BCF through bcftools view."""
    try:
        with open(path, "rb") as raw:
            head = raw.read(2)
            raw.seek(0)
            is_bcf = (gzip.GzipFile(fileobj=raw) if head == b"\x1f\x8b" else raw).read(3) == b"BCF"
    except OSError as err:
        raise InputError(f"{path}: cannot read: {getattr(err, 'strerror', None) or err}") from None
    except (EOFError, zlib.error):
        raise InputError(f"{path}: corrupt or truncated gzip data") from None
    if is_bcf:
        yield from bcf_lines(path)
        return
    number = 0
    try:
        with (gzip.open(path, "rt") if head == b"\x1f\x8b" else open(path)) as text:
            for number, line in enumerate(text, 1):
                yield number, line.rstrip("\r\n")
    except (OSError, EOFError, zlib.error, UnicodeDecodeError):
        raise InputError(f"{path}: corrupt or truncated data after line {number}") from None


def bcf_lines(path):
    try:
        viewer = subprocess.Popen(["bcftools", "view", "-Ov", path], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
    except OSError as err:
        raise InputError(f"{path}: reading BCF needs bcftools: {err.strerror}") from None
    yield from enumerate((line.rstrip("\n") for line in viewer.stdout), 1)
    message = viewer.stderr.read().strip()
    if viewer.wait() != 0:
        raise InputError(f"{path}: bcftools view: {(message.splitlines() or ['failed'])[-1]}")


class Record:
    """One VCF record's parts; genotypes and dosages are parsed on demand."""

    def __init__(self, path, number, fields, n_samples):
        if len(fields) < 9 + n_samples:
            raise InputError(f"{path}:{number}: expected {9 + n_samples} fields, found {len(fields)}")
        self.where = f"{path}:{number} ({fields[0]}:{fields[1]})"
        try:
            self.pos = int(fields[1])
        except ValueError:
            raise InputError(f"{path}:{number}: POS '{fields[1]}' is not a number") from None
        self.chrom, self.ref = fields[0], fields[3]
        self.alts = [] if fields[4] == "." else fields[4].split(",")
        self.info, self.fields = fields[7], fields
        self.format = fields[8].split(":")

    def keys(self):
        return [(self.chrom, self.pos, self.ref, alt) for alt in self.alts]

    def typed(self):
        return "TYPED" in self.info.split(";")

    def info_af(self):
        for entry in self.info.split(";"):
            if entry.startswith("AF="):
                try:
                    values = [float(v) for v in entry[3:].split(",")]
                except ValueError:
                    raise InputError(f"{self.where}: INFO/AF '{entry[3:]}' is not a list of numbers") from None
                if len(values) != len(self.alts):
                    raise InputError(f"{self.where}: INFO/AF has {len(values)} values for {len(self.alts)} ALT")
                return values
        return None

    def sample_values(self, column, key):
        """The FORMAT value key of the sample at column (9-based field index), or "."."""
        if key not in self.format:
            return "."
        parts = self.fields[column].split(":")
        index = self.format.index(key)
        return parts[index] if index < len(parts) else "."

    def genotype(self, column):
        """(allele a, allele b, phased) or None when missing or not diploid."""
        gt = self.sample_values(column, "GT")
        phased = "|" in gt
        parts = gt.split("|" if phased else "/")
        if len(parts) != 2 or "." in parts:
            return None
        try:
            a, b = int(parts[0]), int(parts[1])
        except ValueError:
            raise InputError(f"{self.where}: genotype '{gt}' is not two allele numbers") from None
        if max(a, b) > len(self.alts) or min(a, b) < 0:
            raise InputError(f"{self.where}: genotype '{gt}' names an allele the record does not have")
        return a, b, phased

    def dosage(self, column, alt_index):
        ds = self.sample_values(column, "DS")
        if ds in (".", ""):
            return None
        values = ds.split(",")
        try:
            return float(values[alt_index]) if alt_index < len(values) else None
        except ValueError:
            raise InputError(f"{self.where}: DS '{ds}' is not a list of numbers") from None


def read_vcf(path):
    """(sample names, iterator of Record, the ## header lines)."""
    lines = vcf_lines(path)
    meta = []
    for number, line in lines:
        if line.startswith("#CHROM"):
            samples = line.split("\t")[9:]
            if not samples:
                raise InputError(f"{path}:{number}: the #CHROM line names no samples")
            break
        if not line.startswith("##"):
            raise InputError(f"{path}:{number}: a record before the #CHROM line")
        meta.append(line)
    else:
        raise InputError(f"{path}: no #CHROM line")

    def records():
        for number, line in lines:
            if line:
                yield Record(path, number, line.split("\t"), len(samples))

    return samples, records(), meta


def alt_count(genotype, alt_number):
    return None if genotype is None else (genotype[0] == alt_number) + (genotype[1] == alt_number)


class Site:
    """A called site: per truth sample the ALT count, dosage and phased ALT bits."""

    __slots__ = ("counts", "dosages", "phase", "typed")

    def __init__(self, record, alt_index, columns):
        self.counts, self.dosages, self.phase = [], [], []
        for column in columns:
            genotype = record.genotype(column)
            count = alt_count(genotype, alt_index + 1)
            dosage = record.dosage(column, alt_index)
            self.counts.append(count)
            self.dosages.append(dosage if dosage is not None else count)
            phased = genotype is not None and genotype[2]
            self.phase.append((genotype[0] == alt_index + 1) if phased and count == 1 else None)
        self.typed = record.typed()


def hom_ref_site(n_samples):
    """How a truth site the calls lack is counted: every sample called hom-ref, unphased."""
    site = Site.__new__(Site)
    site.counts, site.dosages = [0] * n_samples, [0.0] * n_samples
    site.phase, site.typed = [None] * n_samples, False
    return site


def sample_columns(path, names, wanted):
    index = {name: 9 + j for j, name in enumerate(names)}
    missing = [name for name in wanted if name not in index]
    if missing:
        raise InputError(f"{path}: sample {missing[0]} of the truth is not in this file")
    return [index[name] for name in wanted]


def read_calls(path, truth_samples):
    """The called sites by key, and whether the header declares INFO/TYPED."""
    samples, records, meta = read_vcf(path)
    columns = sample_columns(path, samples, truth_samples)
    sites = {}
    for record in records:
        for alt_index, key in enumerate(record.keys()):
            if key in sites:
                raise InputError(f"{record.where}: {key[0]}:{key[1]} {key[2]}>{key[3]} occurs twice")
            sites[key] = Site(record, alt_index, columns)
    marks_typed = any(line.startswith("##INFO=<ID=TYPED,") for line in meta)
    return sites, marks_typed


def read_panel_frequencies(path):
    """Each ALT allele's frequency in a panel: its INFO/AF, else its genotypes' count."""
    samples, records, _ = read_vcf(path)
    frequencies = {}
    for record in records:
        af = record.info_af()
        if af is None:
            genotypes = [record.genotype(9 + j) for j in range(len(samples))]
            called = [g for g in genotypes if g is not None]
            af = [sum(alt_count(g, i + 1) for g in called) / (2 * len(called)) if called else None
                  for i in range(len(record.alts))]
        for key, value in zip(record.keys(), af):
            frequencies[key] = value
    return frequencies


class Tally:
    """Counts of one bin or sample, and the sums of the dosage correlation."""

    def __init__(self, name):
        self.name = name
        self.sites = self.not_called = self.genotypes = self.missing = self.discordant = 0
        self.nonref = self.nonref_discordant = 0
        self.maf_sum = 0.0
        self.sums = [0.0] * 6  # n, x, y, xx, yy, xy of truth count x and dosage y

    def add(self, truth_count, call_count, dosage):
        self.genotypes += 1
        if call_count is None:
            self.missing += 1
            return
        differ = truth_count != call_count
        self.discordant += differ
        if truth_count or call_count:
            self.nonref += 1
            self.nonref_discordant += differ
        if dosage is not None:
            x, y = truth_count, dosage
            for i, value in enumerate((1.0, x, y, x * x, y * y, x * y)):
                self.sums[i] += value

    def discordance(self):
        return ratio(self.discordant, self.genotypes - self.missing)

    def nonref_discordance(self):
        return ratio(self.nonref_discordant, self.nonref)

    def r2(self):
        n, x, y, xx, yy, xy = self.sums
        var_x, var_y = n * xx - x * x, n * yy - y * y
        if n < 2 or var_x <= 0 or var_y <= 0:
            return None
        return (n * xy - x * y) ** 2 / (var_x * var_y)


class Switches:
    """Per sample, whether the calls' phase of the last correct heterozygote matched the
    truth's; a change between consecutive ones is a switch."""

    def __init__(self, n_samples):
        self.last = [None] * n_samples
        self.pairs = self.switches = 0
        self.truth_phased = False
        self.chrom = None

    def add(self, chrom, truth_phase, call_phase):
        if chrom != self.chrom:
            self.chrom, self.last = chrom, [None] * len(self.last)
        for j, (t, c) in enumerate(zip(truth_phase, call_phase)):
            if t is None:
                continue
            self.truth_phased = True
            if c is None:
                continue
            same = t == c
            if self.last[j] is not None:
                self.pairs += 1
                self.switches += same != self.last[j]
            self.last[j] = same

    def rate(self):
        return ratio(self.switches, self.pairs) if self.truth_phased else None


def bin_of(edges, maf):
    for i in range(1, len(edges)):
        if maf <= edges[i]:
            return i - 1
    return None


def truth_site(record, alt_index, columns):
    """Per sample: the truth's ALT count, and for a phased heterozygote whether the ALT is on
    the first haplotype (else None)."""
    counts, phase = [], []
    for column in columns:
        genotype = record.genotype(column)
        count = alt_count(genotype, alt_index + 1)
        counts.append(count)
        phased = genotype is not None and genotype[2] and count == 1
        phase.append((genotype[0] == alt_index + 1) if phased else None)
    return counts, phase


def truth_frequency(truth_counts):
    called = [c for c in truth_counts if c is not None]
    return sum(called) / (2 * len(called)) if called else None


class Report:
    """Everything the tables, the plot and the closing messages show."""

    def __init__(self, edges, samples, source):
        self.bins = [Tally(f"({low:g},{high:g}]" if i else f"[{low:g},{high:g}]")
                     for i, (low, high) in enumerate(zip(edges, edges[1:]))]
        self.overall = Tally("all")
        self.per_sample = [Tally(name) for name in samples]
        self.switches = Switches(len(samples))
        self.source = source
        self.unbinned = self.typed_left_out = 0
        self.marks_typed = True

    def add_site(self, index, maf, truth_counts, site, called):
        for tally in (self.bins[index], self.overall):
            tally.sites += 1
            tally.not_called += not called
            tally.maf_sum += maf
        for j, truth_count in enumerate(truth_counts):
            if truth_count is None:
                continue
            for tally in (self.bins[index], self.overall, self.per_sample[j]):
                tally.add(truth_count, site.counts[j], site.dosages[j])


def concordance(args):
    """The report over every truth site that has a frequency."""
    samples, records, _ = read_vcf(args.truth)
    if len(set(samples)) != len(samples):
        raise InputError(f"{args.truth}: a sample name occurs twice in the #CHROM line")
    calls, marks_typed = read_calls(args.calls, samples)
    frequencies = read_panel_frequencies(args.frequency) if args.frequency else None
    source = f"the panel {args.frequency}" if args.frequency else "the truth's genotypes"
    report = Report(args.edges, samples, source)
    report.marks_typed = marks_typed
    columns = list(range(9, 9 + len(samples)))
    not_called = hom_ref_site(len(samples))
    for record in records:
        for alt_index, key in enumerate(record.keys()):
            truth_counts, truth_phase = truth_site(record, alt_index, columns)
            site = calls.get(key)
            if site is not None and site.typed and not args.keep_typed:
                report.typed_left_out += 1
                continue
            frequency = frequencies.get(key) if frequencies is not None else truth_frequency(truth_counts)
            index = None if frequency is None else bin_of(args.edges, min(frequency, 1.0 - frequency))
            if index is None:
                report.unbinned += 1
                continue
            report.add_site(index, min(frequency, 1.0 - frequency), truth_counts,
                            site or not_called, site is not None)
            if site is not None:
                right = [p if site.counts[j] == truth_counts[j] else None for j, p in enumerate(site.phase)]
                report.switches.add(record.chrom, truth_phase, right)
    return report


def number(value, digits=6):
    return "NA" if value is None else f"{value:.{digits}g}"


def ratio(numerator, denominator):
    return numerator / denominator if denominator else None


def bin_table(report):
    lines = ["\t".join(COLUMNS)]
    switches = report.switches
    for tally in report.bins + [report.overall]:
        row = [tally.name, tally.sites, tally.not_called, tally.genotypes, tally.missing,
               tally.discordant, number(tally.discordance()), tally.nonref,
               tally.nonref_discordant, number(tally.nonref_discordance()), number(tally.r2())]
        if tally is report.overall and switches.truth_phased:
            row += [switches.pairs, switches.switches, number(switches.rate())]
        else:
            row += ["NA", "NA", "NA"]
        lines.append("\t".join(str(v) for v in row))
    return "\n".join(lines) + "\n"


def sample_table(report):
    lines = ["\t".join(SAMPLE_COLUMNS)]
    for tally in report.per_sample:
        row = [tally.name, tally.genotypes, tally.missing, tally.discordant,
               number(tally.discordance()), tally.nonref, tally.nonref_discordant,
               number(tally.nonref_discordance()), number(tally.r2())]
        lines.append("\t".join(str(v) for v in row))
    return "\n".join(lines) + "\n"


def load_pyplot(argv):
    """pyplot, drawing off screen. A python3 before Debian's on the PATH (a virtualenv) may
    not see python3-matplotlib: then the tool runs again under Debian's, before any output."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        return plt
    except ImportError:
        pass
    here = os.path.realpath(sys.executable or "")
    if os.path.exists(SYSTEM_PYTHON) and here != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.abspath(__file__)] + argv)
    raise InputError("--plot needs matplotlib: install python3-matplotlib")


def leading_digit(value):
    return round(value / 10 ** math.floor(math.log10(value))) if value > 0 else 0


def plot(plt, report, edges, path):
    """Discordance and r² of each bin at the mean MAF of its sites, on a log axis (a bin whose
    sites are all monomorphic sits at half its upper edge), each point with its site count."""
    from matplotlib.ticker import FuncFormatter

    bins = [(t, high) for t, high in zip(report.bins, edges[1:]) if t.sites]
    x = [(t.maf_sum / t.sites) or high / 2 for t, high in bins]
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5), sharex=True)
    series = (("discordance", Tally.discordance, "#228833", 100.0, left),
              ("non-reference discordance", Tally.nonref_discordance, "#ee6677", 100.0, left),
              ("dosage r²", Tally.r2, "#4477aa", 1.0, right))
    for label, value, colour, scale, axes in series:
        y = [math.nan if value(t) is None else scale * value(t) for t, _ in bins]
        axes.plot(x, y, marker="o", color=colour, label=label)
        if label != "non-reference discordance":
            for xi, yi, (t, _) in zip(x, y, bins):
                if not math.isnan(yi):
                    axes.annotate(str(t.sites), (xi, yi), textcoords="offset points",
                                  xytext=(0, 6), ha="center", fontsize=8)
    left.set_ylabel("% of genotypes")
    left.set_ylim(bottom=0)
    left.legend(title="labels: sites per bin", fontsize=8, title_fontsize=8)
    right.set_ylabel("dosage r²")
    right.set_ylim(0, 1.08)
    for axes in (left, right):
        axes.set_xscale("log")
        axes.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        axes.xaxis.set_minor_formatter(FuncFormatter(lambda v, _: f"{v:g}" if leading_digit(v) in (2, 5) else ""))
        axes.set_xlabel(f"minor-allele frequency (from {report.source})")
    rate = report.switches.rate()
    switch = ("switch error " + (f"{100.0 * rate:.2f} % over {report.switches.pairs} pairs"
                                 if rate is not None else "NA (the truth is unphased)"))
    figure.suptitle(f"{report.overall.sites} sites, {len(report.per_sample)} samples; {switch}")
    figure.tight_layout()
    temporary = path + ".part.png"
    figure.savefig(temporary, dpi=100)
    os.replace(temporary, path)


def write_text(path, text):
    temporary = path + ".part"
    try:
        with open(temporary, "w") as out:
            out.write(text)
        os.replace(temporary, path)
    except OSError as err:
        raise InputError(f"{path}: cannot write: {err.strerror}") from None


def closing_messages(report, args):
    """What standard error says of where the figures came from and what was left out."""
    messages = [f"MAF from {report.source}"]
    not_called = report.overall.not_called
    if not_called:
        messages.append(f"{not_called} truth sites not in the calls counted as hom-ref calls")
    if report.typed_left_out:
        messages.append(f"{report.typed_left_out} array sites (INFO/TYPED) left out; "
                        "--keep-typed counts them")
    elif not report.marks_typed and not args.keep_typed:
        messages.append("the calls do not flag array sites (no INFO/TYPED): every site counted")
    if report.unbinned:
        where = "the panel" if args.frequency else "the truth"
        messages.append(f"{report.unbinned} truth sites without a frequency in {where} left out")
    return "".join(f"concordance.py: {m}\n" for m in messages)


def main(argv):
    args = parse_args(argv)
    try:
        plt = load_pyplot(argv) if args.plot else None
        report = concordance(args)
        tables = [(bin_table(report), args.tsv), (sample_table(report), args.sample_tsv)]
        for text, path in tables:
            if path:
                write_text(path, text)
        if args.plot:
            plot(plt, report, args.edges, args.plot)
    except InputError as err:
        sys.stderr.write(f"concordance.py: {err}\n")
        return 1
    sys.stdout.write("\n".join(text for text, path in tables if not path))
    sys.stderr.write(closing_messages(report, args))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
