#!/usr/bin/env python3
"""Compares dorsane's called genotypes with the simulated truth at the non-scaffold sites.

Reports genotype discordance and non-reference discordance, overall and by the
minor-allele frequency of the truth, for dorsane's calls and for the baseline that
calls every genotype as the most likely one of its likelihoods; the switch-error rate
of the phased calls; and with a pedigree the Mendelian-error rate of the trios.

With --plot FILE.png (needs --calls) it also draws a PNG of two panels: the calibration
of the calls, i.e. the share of called genotypes equal to the truth against their AVGPOST
in bins, beside the diagonal that perfectly calibrated posteriors would follow (with a
zoom on AVGPOST >= 0.95, where most calls lie); and the non-reference discordance by MAF
bin of the calls and, with --glfs, of the baseline. The printed figures stay the same.

Standard library only, except matplotlib (Debian's python3-matplotlib), which only --plot
loads. Exits 1 with a one-line message on unreadable or malformed input.
"""

import argparse
import bisect
import gzip
import json
import math
import os
import subprocess
import sys
import zlib
from array import array

MISSING = -1
# Allele code for a called allele that the truth record does not have.
FOREIGN = 63
BINS = ("<1%", "1-5%", ">5%")
# AVGPOST bins of the calibration panel, and the finer ones of its zoom, where the bulk
# of low-coverage calls lies.
AVGPOST_EDGES = tuple(i / 20 for i in range(21))
AVGPOST_ZOOM_EDGES = (0.95, 0.96, 0.97, 0.98, 0.99, 1.0)
# Debian's interpreter, the one python3-matplotlib installs for.
SYSTEM_PYTHON = "/usr/bin/python3"
# The ##source line of the simulator's VCFs: their scaffold carries the truth's own phase.
SIMULATOR_SOURCE = "##source=dorsane-simulate"
# The share of the scaffold's heterozygotes (as the calls copy them) phased as the truth
# above which the calls' phase can be held against the truth's: a scaffold phased by a
# phaser from unphased genotypes agrees at about half.
SCAFFOLD_PHASE_AGREEMENT = 0.99


class InputError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write(f"evaluate.py: {message}\n")
        sys.exit(1)


def parse_args(argv):
    p = Parser(description="Evaluate dorsane calls against a truth VCF at the non-scaffold sites.",
               allow_abbrev=False)
    p.add_argument("--truth", required=True, help="truth VCF with phased GT (plain or gzip)")
    p.add_argument("--scaffold", required=True,
                   help="scaffold (text layout, or VCF/BCF, plain or gzip); its positions are not evaluated")
    p.add_argument("--calls", help="dorsane's output VCF (plain or gzip)")
    p.add_argument("--glfs", help="likelihood VCF (PL or GL) for the most-likely-genotype baseline")
    p.add_argument("--ped", help="pedigree; lines with both parents are the trios for Mendelian errors")
    p.add_argument("--phase", choices=("auto", "yes", "no"), default="auto",
                   help="report the switch-error rate: yes, no, or auto: when the truth is the "
                        "simulator's and the scaffold sites of the calls carry its phase [auto]")
    p.add_argument("--json", action="store_true", help="print the figures as JSON instead of a table")
    p.add_argument("--plot", metavar="FILE.png",
                   help="also draw the calls' AVGPOST calibration and the non-reference discordance "
                        "by MAF bin into this PNG (needs --calls and python3-matplotlib)")
    args = p.parse_args(argv)
    if args.calls is None and args.glfs is None:
        p.error("give --calls, --glfs or both")
    if args.plot is not None and args.calls is None:
        p.error("--plot needs --calls")
    return args


def text_lines(path):
    """Yields (line number, line without its end) of a plain or gzip file."""
    try:
        raw = open(path, "rb")
    except OSError as err:
        raise InputError(f"{path}: cannot open: {err.strerror}") from None
    with raw:
        compressed = raw.read(2) == b"\x1f\x8b"
        raw.seek(0)
        stream = gzip.GzipFile(fileobj=raw) if compressed else raw
        number = 0
        try:
            for number, line in enumerate(stream, 1):
                yield number, line.decode("utf-8", "replace").rstrip("\r\n")
        except (OSError, EOFError, zlib.error):
            raise InputError(f"{path}: corrupt or truncated gzip data after line {number}") from None


def encode(a, b, phased):
    return (a << 6) | b | (4096 if phased else 0)


def parse_gt(text, n_alleles, where):
    if text in (".", "./.", ".|."):
        return MISSING
    phased = "|" in text
    parts = text.split("|" if phased else "/")
    if len(parts) != 2:
        raise InputError(f"{where}: expected a diploid genotype, found '{text}'")
    if "." in parts:
        return MISSING
    try:
        a, b = int(parts[0]), int(parts[1])
    except ValueError:
        raise InputError(f"{where}: genotype '{text}' is not two allele numbers") from None
    if not (0 <= a < n_alleles and 0 <= b < n_alleles):
        raise InputError(f"{where}: genotype '{text}' names an allele the record does not have")
    return encode(a, b, phased)


def unordered_pairs(n_alleles):
    return [(t, s) for s in range(n_alleles) for t in range(s + 1)]


def parse_likelihood(text, kind, n_alleles, where):
    """The most likely genotype of a PL or GL field; MISSING without information."""
    if text in ("", "."):
        return MISSING
    pieces = text.split(",")
    pairs = unordered_pairs(n_alleles)
    if len(pieces) != len(pairs):
        raise InputError(f"{where}: expected {len(pairs)} {kind} values, found {len(pieces)} in '{text}'")
    try:
        values = [float(v) for v in pieces]
    except ValueError:
        raise InputError(f"{where}: {kind} '{text}' is not a list of numbers") from None
    if kind == "PL":
        values = [-v for v in values]
    best = max(values)
    if min(values) == best:
        return MISSING
    t, s = pairs[values.index(best)]
    return encode(t, s, False)


def parse_posterior(text, where):
    """An AVGPOST value; NaN when it is missing."""
    if text in ("", "."):
        return math.nan
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.0 <= value <= 1.0:
        raise InputError(f"{where}: AVGPOST '{text}' is not a probability")
    return value


def same_genotype(t, c):
    """Whether two non-missing genotype codes hold the same alleles, whatever the phase."""
    t, c = t & 4095, c & 4095
    return t == c or t == ((c & 63) << 6 | c >> 6)


class Vcf:
    """The records of one VCF: alleles and one genotype code per sample, keyed by site_key
    (records that share a position are told apart by their alleles); with posteriors, also each
    sample's AVGPOST (NaN where missing) of the records that have it."""

    def __init__(self, path, want, posteriors=False):
        self.path = path
        self.samples = None
        self.sites = {}
        self.kind = None
        self.parsed = {}
        self.posteriors = {} if posteriors else None
        self.parsed_posteriors = {}
        self.simulated = False
        for number, line in text_lines(path):
            if line.startswith("##"):
                self.simulated = self.simulated or line.startswith(SIMULATOR_SOURCE)
                continue
            if line.startswith("#CHROM"):
                names = line.split("\t")
                if names[-1] == "":
                    names.pop()
                if len(names) < 10:
                    raise InputError(f"{path}:{number}: the #CHROM line names no samples")
                self.samples = names[9:]
                continue
            if line.strip() == "":
                continue
            if self.samples is None:
                raise InputError(f"{path}:{number}: data line before the #CHROM header line")
            self._record(line, number, want)
        if self.samples is None:
            raise InputError(f"{path}: no #CHROM header line")

    def _record(self, line, number, want):
        path = self.path
        fields = line.split("\t")
        expected = 9 + len(self.samples)
        if len(fields) == expected + 1 and fields[-1] == "":
            fields.pop()
        if len(fields) != expected:
            raise InputError(f"{path}:{number}: expected {expected} tab-separated fields, found {len(fields)}")
        try:
            pos = int(fields[1])
        except ValueError:
            raise InputError(f"{path}:{number}: POS '{fields[1]}' is not a number") from None
        where = f"{path}:{number} ({fields[0]}:{pos})"
        alleles = [fields[3]] + ([] if fields[4] == "." else fields[4].split(","))
        key = site_key(fields[0], pos, alleles)
        if key in self.sites:
            raise InputError(f"{where}: position {pos} with alleles {','.join(alleles)} occurs twice")
        if len(alleles) > FOREIGN:
            raise InputError(f"{where}: more than {FOREIGN - 1} alleles")
        keys = fields[8].split(":")
        if want == "GT":
            if "GT" not in keys:
                raise InputError(f"{where}: FORMAT '{fields[8]}' has no GT")
            kind, index = "GT", keys.index("GT")
        elif "PL" in keys:
            kind, index = "PL", keys.index("PL")
        elif "GL" in keys:
            kind, index = "GL", keys.index("GL")
        else:
            raise InputError(f"{where}: FORMAT '{fields[8]}' has neither PL nor GL")
        self.kind = self.kind or kind
        post_index = keys.index("AVGPOST") if self.posteriors is not None and "AVGPOST" in keys else None
        posts = array("d") if post_index is not None else None
        codes = array("h")
        n_alleles = len(alleles)
        # Low coverage repeats the same few fields, so each distinct one is parsed once.
        parsed = self.parsed.setdefault((kind, n_alleles), {})
        for j, field in enumerate(fields[9:]):
            sub = field.split(":")
            value = sub[index] if index < len(sub) else "."
            code = parsed.get(value)
            if code is None:
                sample_where = f"{where}, sample {self.samples[j]}"
                if kind == "GT":
                    code = parse_gt(value, n_alleles, sample_where)
                else:
                    code = parse_likelihood(value, kind, n_alleles, sample_where)
                parsed[value] = code
            codes.append(code)
            if posts is not None:
                text = sub[post_index] if post_index < len(sub) else "."
                post = self.parsed_posteriors.get(text)
                if post is None:
                    post = parse_posterior(text, f"{where}, sample {self.samples[j]}")
                    self.parsed_posteriors[text] = post
                posts.append(post)
        self.sites[key] = (alleles, codes)
        if posts is not None:
            self.posteriors[key] = posts

    def columns_for(self, names):
        """Column of each name; every name must be a sample of this file."""
        index = {name: j for j, name in enumerate(self.samples)}
        missing = [name for name in names if name not in index]
        if missing:
            raise InputError(f"{self.path}: sample {missing[0]} of the truth is not in this file"
                             + (f" ({len(missing)} missing)" if len(missing) > 1 else ""))
        extra = len(self.samples) - len(set(self.samples) & set(names))
        if extra:
            extra_name = next(n for n in self.samples if n not in set(names))
            raise InputError(f"{self.path}: sample {extra_name} is not in the truth")
        return [index[name] for name in names]


def site_key(chrom, pos, alleles):
    """A record's key: its chromosome, its position and its alleles in any order."""
    return (chrom, pos, tuple(sorted(alleles)))


def scaffold_kind(path):
    """"bcf", "vcf" or "text": the scaffold's layout, from its first bytes (after gzip)."""
    try:
        with open(path, "rb") as raw:
            head = raw.read(2)
            raw.seek(0)
            stream = gzip.GzipFile(fileobj=raw) if head == b"\x1f\x8b" else raw
            start = stream.read(16)
    except OSError as err:
        raise InputError(f"{path}: cannot read: {getattr(err, 'strerror', None) or err}") from None
    except EOFError:
        raise InputError(f"{path}: corrupt or truncated gzip data") from None
    if start.startswith(b"BCF"):
        return "bcf"
    return "vcf" if start.startswith(b"##fileformat=VCF") or start.startswith(b"#CHROM") else "text"


def bcf_lines(path):
    """(record number, "CHROM POS ID REF ALT", tab-separated) of a BCF, through bcftools query."""
    try:
        done = subprocess.run(["bcftools", "query", "-f", "%CHROM\t%POS\t%ID\t%REF\t%ALT\n", path],
                              capture_output=True, text=True)
    except OSError as err:
        raise InputError(f"{path}: a BCF scaffold needs bcftools: {err.strerror}") from None
    if done.returncode != 0:
        message = (done.stderr.strip().splitlines() or ["failed"])[-1]
        raise InputError(f"{path}: bcftools query: {message}")
    return enumerate(done.stdout.splitlines(), 1)


def read_scaffold_positions(path):
    """The site_key of every scaffold site: the text layout (CHROM ID POS ALLELE1 ALLELE2
    haplotypes) or the records of a VCF/BCF."""
    kind = scaffold_kind(path)
    positions = set()
    for number, line in bcf_lines(path) if kind == "bcf" else text_lines(path):
        if line.startswith("#"):
            if kind == "vcf":
                continue
            raise InputError(f"{path}:{number}: a '#' line in a text-layout scaffold")
        fields = line.split() if kind == "text" else line.split("\t")
        if not fields or fields == [""]:
            continue
        if len(fields) < 5:
            raise InputError(f"{path}:{number}: expected at least 5 fields, found {len(fields)}")
        pos_field, alleles = fields[2 if kind == "text" else 1], fields[3:5]
        if kind != "text":
            alleles = [fields[3]] + fields[4].split(",")
        try:
            positions.add(site_key(fields[0], int(pos_field), alleles))
        except ValueError:
            raise InputError(f"{path}:{number}: position '{pos_field}' is not a number") from None
    return positions


def read_trios(path, samples):
    """(father, mother, child) sample indices of every line with both parents; lines naming
    someone outside the samples are skipped and counted."""
    index = {name: j for j, name in enumerate(samples)}
    trios, skipped = [], 0
    for number, line in text_lines(path):
        fields = line.split()
        if not fields:
            continue
        if len(fields) < 4:
            raise InputError(f"{path}:{number}: expected at least 4 fields, found {len(fields)}")
        child, first, second = fields[1], fields[2], fields[3]
        if first in ("0", "-9") or second in ("0", "-9"):
            continue
        if all(name in index for name in (child, first, second)):
            trios.append((index[first], index[second], index[child]))
        else:
            skipped += 1
    return trios, skipped


def remap(code, mapping):
    """A genotype code in the allele numbering of the truth record."""
    if code < 0:
        return code
    return encode(mapping[(code >> 6) & 63], mapping[code & 63], code & 4096)


class Tally:
    def __init__(self):
        self.counts = {name: dict(sites=0, genotypes=0, missing=0, compared=0, discordant=0,
                                  nonref=0, nonref_discordant=0) for name in BINS + ("all",)}

    def add_site(self, bin_name, truth_codes, call_codes):
        genotypes = missing = discordant = nonref = nonref_discordant = 0
        for t, c in zip(truth_codes, call_codes):
            if t < 0:
                continue
            genotypes += 1
            if c < 0:
                missing += 1
                continue
            same = same_genotype(t, c)
            if (t | c) & 4095:  # a non-reference allele in either
                nonref += 1
                if not same:
                    nonref_discordant += 1
                    discordant += 1
            elif not same:
                discordant += 1
        for name in (bin_name, "all"):
            c = self.counts[name]
            c["sites"] += 1
            c["genotypes"] += genotypes
            c["missing"] += missing
            c["compared"] += genotypes - missing
            c["discordant"] += discordant
            c["nonref"] += nonref
            c["nonref_discordant"] += nonref_discordant

    def report(self):
        out = {}
        for name, c in self.counts.items():
            r = dict(c)
            r["missing_rate"] = ratio(c["missing"], c["genotypes"])
            r["discordance"] = ratio(c["discordant"], c["compared"])
            r["nonref_discordance"] = ratio(c["nonref_discordant"], c["nonref"])
            out[name] = r
        return out


def ratio(numerator, denominator):
    return numerator / denominator if denominator else None


class Calibration:
    """Called genotypes binned by AVGPOST: how many, how many equal the truth, and the sum
    of their AVGPOST. Values outside the edges are left out."""

    def __init__(self, edges):
        self.edges = edges
        self.genotypes = [0] * (len(edges) - 1)
        self.right = [0] * (len(edges) - 1)
        self.posterior_sum = [0.0] * (len(edges) - 1)

    def add(self, posterior, right):
        if not self.edges[0] <= posterior <= self.edges[-1]:
            return
        b = min(bisect.bisect_right(self.edges, posterior), len(self.edges) - 1) - 1
        self.genotypes[b] += 1
        self.right[b] += right
        self.posterior_sum[b] += posterior

    def points(self):
        """(mean AVGPOST, share equal to the truth, genotypes) of each non-empty bin."""
        return [(s / n, r / n, n) for s, r, n in zip(self.posterior_sum, self.right, self.genotypes) if n]


def maf_bin(truth_codes):
    counts = {}
    for code in truth_codes:
        if code >= 0:
            for allele in ((code >> 6) & 63, code & 63):
                counts[allele] = counts.get(allele, 0) + 1
    total = sum(counts.values())
    maf = 1.0 - max(counts.values()) / total if total else 0.0
    if maf < 0.01:
        return BINS[0]
    return BINS[1] if maf <= 0.05 else BINS[2]


def phase_agreement(truth_site, call_site, call_cols):
    """(heterozygotes of the truth called alike and phased, those phased as the truth) at one
    site; the calls' alleles must be the truth's."""
    alleles, truth_codes = truth_site
    if call_site[0] != alleles:
        return 0, 0
    hets = as_truth = 0
    for t, col in zip(truth_codes, call_cols):
        c = call_site[1][col]
        if t < 0 or c < 0 or not c & 4096 or (t >> 6) & 63 == t & 63 or not same_genotype(t, c):
            continue
        hets += 1
        as_truth += (c >> 6) & 63 == (t >> 6) & 63
    return hets, as_truth


def mendel_error(father, mother, child):
    f = ((father >> 6) & 63, father & 63)
    m = ((mother >> 6) & 63, mother & 63)
    c1, c2 = (child >> 6) & 63, child & 63
    return not ((c1 in f and c2 in m) or (c2 in f and c1 in m))


def evaluate(args, calibrations=()):
    """The figures of the report; each Calibration given also receives the AVGPOST of every
    compared genotype of the calls."""
    truth = Vcf(args.truth, "GT")
    samples = truth.samples
    if len(set(samples)) != len(samples):
        raise InputError(f"{args.truth}: a sample name occurs twice in the #CHROM line")
    scaffold = read_scaffold_positions(args.scaffold)
    calls = Vcf(args.calls, "GT", posteriors=bool(calibrations)) if args.calls else None
    if calibrations and calls and not calls.posteriors:
        raise InputError(f"{args.calls}: no record has an AVGPOST field, which --plot needs")
    glfs = Vcf(args.glfs, "LIK") if args.glfs else None
    call_cols = calls.columns_for(samples) if calls else None
    gl_cols = glfs.columns_for(samples) if glfs else None
    trios, trios_skipped = read_trios(args.ped, samples) if args.ped else ([], 0)

    n = len(samples)
    call_tally, base_tally = Tally(), Tally()
    previous_phase = [None] * n
    switch_pairs = switches = het_checked = phase_flipped = 0
    scaffold_hets = scaffold_hets_as_truth = 0
    mendel = {"calls": [0, 0], "baseline": [0, 0]}
    evaluated = 0
    for key in sorted(truth.sites):
        if key in scaffold:
            if calls and key in calls.sites:
                hets, as_truth = phase_agreement(truth.sites[key], calls.sites[key], call_cols)
                scaffold_hets += hets
                scaffold_hets_as_truth += as_truth
            continue
        if evaluated and key[0] != previous_chrom:
            previous_phase = [None] * n  # phase is followed within a chromosome only
        previous_chrom = key[0]
        evaluated += 1
        alleles, truth_codes = truth.sites[key]
        bin_name = maf_bin(truth_codes)
        for name, source, cols, tally in (("calls", calls, call_cols, call_tally),
                                          ("baseline", glfs, gl_cols, base_tally)):
            if source is None:
                continue
            record = source.sites.get(key)
            if record is None:
                codes = [MISSING] * n
            else:
                mapping = [alleles.index(a) if a in alleles else FOREIGN for a in record[0]]
                codes = [remap(record[1][col], mapping) for col in cols]
            tally.add_site(bin_name, truth_codes, codes)
            for father, mother, child in trios:
                trio = (codes[father], codes[mother], codes[child])
                if min(trio) >= 0:
                    mendel[name][0] += 1
                    mendel[name][1] += mendel_error(*trio)
            if name != "calls":
                continue
            posts = calls.posteriors.get(key) if calibrations else None
            if posts is not None:
                for j, col in enumerate(cols):
                    t, c, post = truth_codes[j], codes[j], posts[col]
                    if t >= 0 and c >= 0 and post == post:
                        for calibration in calibrations:
                            calibration.add(post, same_genotype(t, c))
            for j in range(n):
                t, c = truth_codes[j], codes[j]
                if t < 0 or c < 0 or not c & 4096:
                    continue
                t1, t2, c1, c2 = (t >> 6) & 63, t & 63, (c >> 6) & 63, c & 63
                if t1 == t2 or not same_genotype(t, c):
                    continue
                same_phase = c1 == t1
                het_checked += 1
                phase_flipped += not same_phase
                if previous_phase[j] is not None:
                    switch_pairs += 1
                    switches += previous_phase[j] != same_phase
                previous_phase[j] = same_phase

    result = {
        "samples": n,
        "sites": evaluated,
        "scaffold_sites_excluded": sum(1 for key in truth.sites if key in scaffold),
    }
    if calls:
        result["calls"] = call_tally.report()
        result["calls_sites_not_in_truth"] = sum(1 for key in calls.sites if key not in truth.sites)
    # A scaffold phased by a phaser has its own phase per stretch, not the truth's: the
    # switch figures would count the phaser's switches, not dorsane's. The calls copy the
    # scaffold at its sites, which shows which kind of scaffold it was.
    agreement = ratio(scaffold_hets_as_truth, scaffold_hets)
    if calls:
        result["scaffold_phase_agreement"] = agreement
    scaffold_has_truth_phase = agreement is None or agreement >= SCAFFOLD_PHASE_AGREEMENT
    if calls and (args.phase == "yes" or
                  (args.phase == "auto" and truth.simulated and scaffold_has_truth_phase)):
        result["switch"] = {"pairs": switch_pairs, "switches": switches, "rate": ratio(switches, switch_pairs),
                            "heterozygotes": het_checked, "phase_flipped": phase_flipped,
                            "phase_flipped_rate": ratio(phase_flipped, het_checked)}
    if glfs:
        result["baseline"] = base_tally.report()
        result["baseline_kind"] = glfs.kind
    if args.ped:
        result["mendel"] = {"trios": len(trios), "trios_skipped": trios_skipped}
        for name, source in (("calls", calls), ("baseline", glfs)):
            if source is not None:
                checked, errors = mendel[name]
                result["mendel"][name] = {"checked": checked, "errors": errors, "rate": ratio(errors, checked)}
    return result


def percent(value):
    return "-" if value is None else f"{100.0 * value:.2f}%"


def table(result):
    lines = [f"{result['sites']} non-scaffold sites evaluated ({result['scaffold_sites_excluded']} scaffold "
             f"sites excluded), {result['samples']} samples"]
    sources = [(name, title) for name, title in (("calls", "dorsane calls"),
                                                 ("baseline", "baseline (most likely genotype)"))
               if name in result]
    head1 = f"{'':6} {'':>6} {'':>10}"
    head2 = f"{'MAF':6} {'sites':>6} {'genotypes':>10}"
    for _, title in sources:
        head1 += f"   {title:<29}"
        head2 += f"   {'missing':>9} {'discord.':>9} {'NR disc.':>9}"
    lines += ["", head1.rstrip(), head2]
    for bin_name in BINS + ("all",):
        first = result[sources[0][0]][bin_name]
        row = f"{bin_name:6} {first['sites']:>6} {first['genotypes']:>10}"
        for name, _ in sources:
            c = result[name][bin_name]
            row += (f"   {percent(c['missing_rate']):>9} {percent(c['discordance']):>9}"
                    f" {percent(c['nonref_discordance']):>9}")
        lines.append(row)
    lines.append("")
    if "switch" in result:
        s = result["switch"]
        lines.append(f"switch-error rate: {percent(s['rate'])} ({s['switches']} switches in {s['pairs']} "
                     f"consecutive pairs of correctly called heterozygotes)")
        lines.append(f"heterozygotes phased opposite to the truth: {percent(s['phase_flipped_rate'])} "
                     f"({s['phase_flipped']} of {s['heterozygotes']})")
    elif result.get("scaffold_phase_agreement") is not None:
        lines.append(f"phase figures left out: at the scaffold sites the calls phase "
                     f"{percent(result['scaffold_phase_agreement'])} of the heterozygotes as the "
                     f"truth, so the scaffold's phase is not the truth's (--phase yes prints them)")
    if "calls_sites_not_in_truth" in result and result["calls_sites_not_in_truth"]:
        lines.append(f"call records at positions absent from the truth: {result['calls_sites_not_in_truth']}")
    if "mendel" in result:
        m = result["mendel"]
        skipped = f", {m['trios_skipped']} skipped (member not in the samples)" if m["trios_skipped"] else ""
        parts = [f"{name} {percent(m[name]['rate'])} ({m[name]['errors']} of {m[name]['checked']})"
                 for name, _ in sources]
        lines.append(f"Mendelian-error rate, {m['trios']} trios{skipped}: " + ", ".join(parts))
    return "\n".join(lines)


def load_figure(argv):
    """matplotlib's Figure class, drawing off screen. A python3 found before Debian's on the
    PATH (pyenv, a virtualenv) does not see python3-matplotlib, so then the tool runs again
    under Debian's interpreter, before it has printed anything."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        from matplotlib.figure import Figure
        return Figure
    except ImportError:
        pass
    here = os.path.realpath(sys.executable or "")
    if os.path.exists(SYSTEM_PYTHON) and here != os.path.realpath(SYSTEM_PYTHON):
        sys.stdout.flush()
        try:
            os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.abspath(__file__)] + argv)
        except OSError:
            pass
    raise InputError("--plot needs matplotlib: install python3-matplotlib "
                     "(apt-get install python3-matplotlib)")


def draw_calibration(ax, points, lower, largest_marker):
    """Accuracy against mean AVGPOST per bin, marker area growing with the genotypes and the
    count written above, beside the diagonal over [lower, 1]."""
    pad = (1.0 - lower) * 0.04
    ax.plot([lower, 1.0], [lower, 1.0], color="grey", linestyle="--", linewidth=1)
    if points:
        most = max(n for _, _, n in points)
        x, y, n = zip(*points)
        sizes = [8 + largest_marker * math.sqrt(k / most) for k in n]
        ax.scatter(x, y, s=sizes, color="tab:blue", alpha=0.75, edgecolors="black", linewidths=0.5,
                   zorder=3)
        for px, py, k, size in zip(x, y, n, sizes):
            ax.annotate(f"{k}", (px, py), textcoords="offset points", xytext=(0, math.sqrt(size) / 2 + 1),
                        ha="center", va="bottom", fontsize=7, color="dimgrey")
    ax.set_xlim(lower - pad, 1.0 + pad)
    ax.set_ylim(lower - pad, 1.0 + 5 * pad)
    # The headroom holds the counts; a share above 1 gets no tick.
    ax.set_yticks([t for t in ax.get_yticks() if lower - pad <= t <= 1.0 + 1e-9])
    ax.grid(True, alpha=0.3)


def plot(result, calibration, zoom, path, Figure):
    """Writes the calibration and discordance panels to path, through a temporary name."""
    fig = Figure(figsize=(13, 5.5), dpi=150, layout="constrained")
    left, right = fig.subplots(1, 2, gridspec_kw={"width_ratios": [1.1, 1]})

    points = calibration.points()
    total = sum(n for _, _, n in points)
    right_calls = sum(r * n for _, r, n in points)
    lowest = min([p for p, _, _ in points] + [r for _, r, _ in points], default=0.0)
    draw_calibration(left, points, math.floor(10 * lowest) / 10, 250)
    overall = f", {100.0 * right_calls / total:.2f}% equal to the truth" if total else ""
    # No legend: wherever it stood, a sparse bin could fall behind it.
    left.set_title(f"Calibration: {total} called genotypes{overall}\n"
                   "dashed: y = x, perfect calibration; marker area and number: genotypes in the bin",
                   fontsize=10)
    left.set_xlabel("AVGPOST of the called genotype (bins 0.05 wide, points at the bin mean)")
    left.set_ylabel("share of called genotypes equal to the truth")
    if not points:
        left.text(0.5, 0.5, "no compared genotype has an AVGPOST", ha="center", transform=left.transAxes)
    zoom_points = zoom.points()
    if len(zoom_points) > 1:
        left.axvspan(AVGPOST_ZOOM_EDGES[0], 1.0, color="grey", alpha=0.1, linewidth=0)
        # Bottom right, under the diagonal, where only over-confident bins would be.
        inset = left.inset_axes([0.6, 0.09, 0.37, 0.36])
        lowest = min([AVGPOST_ZOOM_EDGES[0]] + [r for _, r, _ in zoom_points])
        draw_calibration(inset, zoom_points, math.floor(100 * lowest) / 100, 120)
        inset.set_xlabel("AVGPOST ≥ 0.95, bins 0.01 wide", fontsize=7, labelpad=1)
        inset.tick_params(labelsize=7)

    sources = [(name, label, color) for name, label, color in
               (("calls", "dorsane calls", "tab:blue"),
                ("baseline", "baseline (most likely genotype)", "tab:orange"))
               if name in result]
    groups = BINS + ("all",)
    width = 0.8 / len(sources)
    for k, (name, label, color) in enumerate(sources):
        xs = [g + (k - (len(sources) - 1) / 2) * width for g in range(len(groups))]
        figures = [result[name][group] for group in groups]
        heights = [100.0 * (f["nonref_discordance"] or 0.0) for f in figures]
        bars = right.bar(xs, heights, width, label=label, color=color, edgecolor="black", linewidth=0.5)
        right.bar_label(bars, fontsize=8, padding=2,
                        labels=[f"{h:.1f}%\n{f['nonref_discordant']}/{f['nonref']}"
                                if f["nonref_discordance"] is not None else "n/a"
                                for h, f in zip(heights, figures)])
    first = result[sources[0][0]]
    right.set_xticks(range(len(groups)),
                     [f"{g}\n{first[g]['sites']} sites" for g in groups])
    right.set_xlabel("minor-allele frequency of the truth")
    right.set_ylabel("non-reference discordance (%)")
    right.set_title("Non-reference discordance by MAF")
    right.margins(y=0.2)
    right.legend(loc="upper right", fontsize=8)
    right.grid(True, axis="y", alpha=0.3)

    tmp = f"{path}.dorsane-tmp.{os.getpid()}"
    try:
        with open(tmp, "wb") as out:
            fig.savefig(out, format="png")
        os.replace(tmp, path)
    except OSError as err:
        raise InputError(f"{path}: cannot write the plot: {err.strerror or err}") from None
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def main(argv):
    args = parse_args(argv)
    try:
        figure = load_figure(argv) if args.plot else None
        calibrations = (Calibration(AVGPOST_EDGES), Calibration(AVGPOST_ZOOM_EDGES)) if args.plot else ()
        result = evaluate(args, calibrations)
        if args.plot:
            plot(result, *calibrations, args.plot, figure)
    except InputError as err:
        sys.stderr.write(f"evaluate.py: {err}\n")
        return 1
    if args.json:
        print(json.dumps(result, indent=1, sort_keys=True))
    else:
        print(table(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
