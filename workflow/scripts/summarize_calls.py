#!/usr/bin/env python3
"""A short summary of dorsane's joined calls over one or more chromosomes: records per
file and in all, the array sites among them (INFO/TYPED, copied from the scaffold), and
the distribution of the INFO score over the called variants, the array sites left out
(with --plot FILE.png, its histogram).

    summarize_calls.py chr1/calls.vcf.gz [chr2/calls.vcf.gz ...] [--plot info_histogram.png]

Standard library only, except matplotlib (python3-matplotlib) for --plot. Exits 1 with a
one-line message when the calls cannot be read.
"""

import argparse
import gzip
import os
import sys

# Bins of the summary's INFO table: a common cut-off for well-imputed variants is 0.8.
INFO_EDGES = (0.0, 0.3, 0.5, 0.8, 0.9, 0.95, 1.0)
# Debian's interpreter, the one python3-matplotlib installs for.
SYSTEM_PYTHON = "/usr/bin/python3"


def read_calls(path):
    """Record count, multi-allelic count, array-site count, sample count and the INFO score
    of every ALT allele of the called variants."""
    records = multi = typed = samples = 0
    scores = []
    opener = gzip.open if open(path, "rb").read(2) == b"\x1f\x8b" else open
    with opener(path, "rt") as vcf:
        for number, line in enumerate(vcf, 1):
            if line.startswith("#CHROM"):
                samples = len(line.rstrip("\n").split("\t")) - 9
            if line.startswith("#"):
                continue
            fields = line.split("\t", 8)
            if len(fields) < 9:
                raise ValueError(f"{path}:{number}: expected at least 9 fields, found {len(fields)}")
            records += 1
            multi += "," in fields[4]
            info = fields[7].split(";")
            if "TYPED" in info:
                typed += 1
                continue
            for entry in info:
                if entry.startswith("INFO="):
                    try:
                        scores += [float(v) for v in entry[5:].split(",") if v != "."]
                    except ValueError:
                        raise ValueError(f"{path}:{number}: INFO value '{entry[5:]}' is not a number") from None
    return records, multi, typed, samples, scores


def quantile(ordered, q):
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def summary(counts, scores):
    """counts: (path, records, multi-allelic records, array sites, samples) of every file."""
    lines = [f"calls: {path}: {records} records ({multi} multi-allelic, {typed} array sites), "
             f"{samples} samples" for path, records, multi, typed, samples in counts]
    if len({c[4] for c in counts}) > 1:
        raise ValueError("the files hold different numbers of samples")
    lines.append("records: {} ({} multi-allelic, {} array sites) in {} file(s), samples: {}".format(
        sum(c[1] for c in counts), sum(c[2] for c in counts), sum(c[3] for c in counts),
        len(counts), counts[0][4]))
    if not scores:
        lines.append("INFO score: no called variant with an INFO score")
        return lines
    ordered = sorted(scores)
    lines.append("INFO score of the called variants (array sites left out): "
                 "min {:.3f}, 10% {:.3f}, median {:.3f}, 90% {:.3f}, max {:.3f}".format(
        ordered[0], quantile(ordered, 0.1), quantile(ordered, 0.5), quantile(ordered, 0.9), ordered[-1]))
    for low, high in zip(INFO_EDGES, INFO_EDGES[1:]):
        last = high == INFO_EDGES[-1]
        count = sum(1 for s in scores if low <= s < high or (last and s == high))
        bracket = "]" if last else ")"
        lines.append(f"  [{low:.2f}, {high:.2f}{bracket} {count:>8} {100.0 * count / len(scores):6.1f}%")
    return lines


def load_pyplot(argv):
    """matplotlib's pyplot, drawing off screen. A python3 found before Debian's on the PATH
    (pyenv, a virtualenv) does not see python3-matplotlib: then run again under Debian's."""
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
    raise OSError("--plot needs matplotlib: install python3-matplotlib")


def plot(plt, scores, path):
    figure, axes = plt.subplots(figsize=(6, 4))
    axes.hist(scores, bins=[i / 40 for i in range(41)], color="#4477aa")
    axes.axvline(0.8, color="grey", linestyle="--", linewidth=1)
    axes.set_xlabel("INFO score")
    axes.set_ylabel("ALT alleles")
    axes.set_title(f"INFO score of {len(scores)} called ALT alleles (array sites left out)")
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main(argv):
    parser = argparse.ArgumentParser(description="Summarise dorsane's calls.")
    parser.add_argument("calls", nargs="+")
    parser.add_argument("--plot", metavar="FILE.png", help="histogram of the INFO score")
    args = parser.parse_args(argv)
    try:
        plt = load_pyplot(argv) if args.plot else None
        counts, scores = [], []
        for path in args.calls:
            records, multi, typed, samples, file_scores = read_calls(path)
            counts.append((path, records, multi, typed, samples))
            scores += file_scores
        lines = summary(counts, scores)
    except (OSError, ValueError, EOFError, UnicodeDecodeError) as err:
        sys.stderr.write(f"summarize_calls.py: {err}\n")
        return 1
    print("\n".join(lines))
    if args.plot:
        if not scores:
            sys.stderr.write(f"summarize_calls.py: {' '.join(args.calls)}: no INFO score of a "
                             "called variant to plot\n")
            return 1
        plot(plt, scores, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
