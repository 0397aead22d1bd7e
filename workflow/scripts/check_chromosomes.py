#!/usr/bin/env python3
"""Checks, before any work, that every input names the chromosomes to call as the config
does: the reference's .fai, BAM/CRAM headers, VCF/BCF contigs (##contig lines, else the
records' CHROM), and the first column of text-layout scaffolds and panels.

    check_chromosomes.py --out OK.txt --log LOG --file WHAT CHROMS PATH [--file ...]

CHROMS is a comma-separated list the file must name. On a mismatch it writes one line
naming each file that lacks a chromosome, with the names it has, to standard error and
LOG, and exits 1; otherwise it writes OK.txt, one line per file.
"""

import argparse
import gzip
import os
import subprocess
import sys

SHOWN_NAMES = 5  # names of a mismatching file quoted in the message


class CheckError(Exception):
    pass


def run(command, path):
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError as err:
        raise CheckError(f"{path}: cannot run {command[0]}: {err.strerror}") from None
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or ["failed"]
        raise CheckError(f"{path}: {command[0]} {command[1]}: {lines[-1]}")
    return done.stdout.splitlines()


def vcf_names(path):
    """##contig IDs of a VCF/BCF's header, else the CHROM of its records."""
    names = []
    for line in run(["bcftools", "view", "-h", path], path):
        if line.startswith("##contig=<"):
            for field in line[len("##contig=<"):].rstrip(">").split(","):
                if field.startswith("ID="):
                    names.append(field[3:])
    if names:
        return names
    return list(dict.fromkeys(run(["bcftools", "query", "-f", "%CHROM\n", path], path)))


def text_first_column(path):
    opener = gzip.open if open(path, "rb").read(2) == b"\x1f\x8b" else open
    names = {}
    with opener(path, "rt") as text:
        for line in text:
            fields = line.split(None, 1)
            if fields and not fields[0].startswith("#"):
                names[fields[0]] = True
    return list(names)


def chromosome_names(path):
    lower = path.lower()
    if lower.endswith(".fai"):
        with open(path) as fai:
            return [line.split("\t", 1)[0] for line in fai if line.strip()]
    if lower.endswith((".bam", ".cram", ".sam")):
        return [f[3:] for line in run(["samtools", "view", "-H", path], path)
                for f in line.split("\t") if line.startswith("@SQ") and f.startswith("SN:")]
    with open(path, "rb") as raw:
        head = raw.read(2)
        raw.seek(0)
        start = (gzip.GzipFile(fileobj=raw) if head == b"\x1f\x8b" else raw).read(16)
    if start.startswith((b"BCF", b"##fileformat=VCF")):
        return vcf_names(path)
    return text_first_column(path)


def check(files):
    """One line per file that names every chromosome wanted of it; CheckError naming each
    file that does not."""
    lines, mismatches = [], []
    for what, wanted, path in files:
        try:
            names = chromosome_names(path)
        except (OSError, EOFError, UnicodeDecodeError) as err:
            raise CheckError(f"{path}: cannot read its chromosome names: {err}") from None
        have = set(names)
        missing = [c for c in wanted.split(",") if c not in have]
        if missing:
            shown = ", ".join(names[:SHOWN_NAMES]) + (", ..." if len(names) > SHOWN_NAMES else "")
            mismatches.append(f"{path} ({what}) lacks {missing[0]}, naming {shown or 'nothing'}")
        lines.append(f"{what}\t{path}\t{wanted}")
    if mismatches:
        raise CheckError("the chromosome names of the inputs and the config disagree: "
                         + "; ".join(mismatches))
    return lines


def main(argv):
    parser = argparse.ArgumentParser(description="Check the inputs' chromosome names.")
    parser.add_argument("--out", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--file", nargs=3, action="append", default=[],
                        metavar=("WHAT", "CHROMS", "PATH"))
    args = parser.parse_args(argv)
    try:
        lines = check(args.file)
    except CheckError as err:
        message = f"check_chromosomes: {err}\n"
        sys.stderr.write(message)
        with open(args.log, "w") as log:
            log.write(message)
        return 1
    temporary = args.out + ".part"
    with open(temporary, "w") as out:
        out.write("".join(line + "\n" for line in lines))
    os.replace(temporary, args.out)
    open(args.log, "w").close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
