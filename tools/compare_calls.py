#!/usr/bin/env python3
"""Compares two dorsane output VCFs (plain or gzip) field by field.

Records are matched by (CHROM, POS, REF, ALT) and samples by name. Reports the records
of each file and those only in one, the per-sample fields compared, the share whose
GT and AVGPOST are both identical (the headline figure), the share with identical GT,
and the largest absolute AVGPOST difference. Meant to check that a faster sampler
still gives the same calls. Standard library only. Exits 0 whatever the differences;
exits 1 with a one-line message when an input cannot be read.
"""

import argparse
import json
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from evaluate import InputError, text_lines  # noqa: E402  one reader of plain and gzip text


class Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write(f"compare_calls.py: {message}\n")
        sys.exit(1)


def read_calls(path):
    """Sample names and {(CHROM, POS, REF, ALT): [(GT, AVGPOST text), ...]}; the first
    record of a key wins."""
    samples, records = None, {}
    for number, line in text_lines(path):
        if line.startswith("##") or not line.strip():
            continue
        fields = line.split("\t")
        if line.startswith("#CHROM"):
            samples = fields[9:]
            continue
        if samples is None:
            raise InputError(f"{path}:{number}: data line before the #CHROM header line")
        if len(fields) < 9 + len(samples):
            raise InputError(f"{path}:{number}: expected {9 + len(samples)} tab-separated fields, "
                             f"found {len(fields)}")
        keys = fields[8].split(":")
        if "GT" not in keys:
            raise InputError(f"{path}:{number}: FORMAT '{fields[8]}' has no GT key")
        gt, post = keys.index("GT"), keys.index("AVGPOST") if "AVGPOST" in keys else None
        calls = []
        for field in fields[9:9 + len(samples)]:
            parts = field.split(":")
            calls.append((parts[gt] if gt < len(parts) else ".",
                          parts[post] if post is not None and post < len(parts) else "."))
        records.setdefault((fields[0], fields[1], fields[3], fields[4]), calls)
    if samples is None:
        raise InputError(f"{path}: no #CHROM header line")
    return samples, records


def number(text):
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def compare(a_path, b_path):
    a_samples, a = read_calls(a_path)
    b_samples, b = read_calls(b_path)
    b_column = {name: j for j, name in enumerate(b_samples)}
    pairs = [(i, b_column[name]) for i, name in enumerate(a_samples) if name in b_column]
    fields = same_pair = same_gt = 0
    largest, where = None, None
    for key in (k for k in a if k in b):  # A's order, so ties name the first field
        for i, j in pairs:
            (gt_a, post_a), (gt_b, post_b) = a[key][i], b[key][j]
            fields += 1
            x, y = number(post_a), number(post_b)
            same_post = post_a == post_b or (x is not None and x == y)
            same_gt += gt_a == gt_b
            same_pair += gt_a == gt_b and same_post
            if x is not None and y is not None and (largest is None or abs(x - y) > largest):
                largest = abs(x - y)
                where = f"{key[0]}:{key[1]} {a_samples[i]}" if largest > 0 else None
    share = (lambda count: count / fields if fields else None)
    return {
        "records_a": len(a), "records_b": len(b), "records_both": len(a.keys() & b.keys()),
        "only_in_a": len(a.keys() - b.keys()), "only_in_b": len(b.keys() - a.keys()),
        "samples_compared": len(pairs), "fields_compared": fields,
        "gt_avgpost_identical": same_pair, "gt_avgpost_share": share(same_pair),
        "gt_identical": same_gt, "gt_share": share(same_gt),
        "max_avgpost_difference": largest, "max_avgpost_difference_at": where,
    }


def percent(share):
    return "n/a" if share is None else f"{100.0 * share:.3f}%"


def main(argv):
    p = Parser(description="Compare two dorsane VCFs field by field.", allow_abbrev=False)
    p.add_argument("a", help="first VCF (plain or gzip)")
    p.add_argument("b", help="second VCF (plain or gzip)")
    p.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = p.parse_args(argv)
    try:
        r = compare(args.a, args.b)
    except InputError as err:
        sys.stderr.write(f"compare_calls.py: {err}\n")
        return 1
    if args.json:
        print(json.dumps(r, indent=1))
        return 0
    largest = "n/a" if r["max_avgpost_difference"] is None else f"{r['max_avgpost_difference']:.6g}"
    if r["max_avgpost_difference_at"]:
        largest += f" ({r['max_avgpost_difference_at']})"
    print(f"records: {r['records_a']} in A, {r['records_b']} in B, {r['records_both']} in both, "
          f"{r['only_in_a']} only in A, {r['only_in_b']} only in B")
    print(f"sample fields compared: {r['fields_compared']} ({r['samples_compared']} samples)")
    print(f"GT:AVGPOST identical: {percent(r['gt_avgpost_share'])} "
          f"({r['gt_avgpost_identical']}/{r['fields_compared']})")
    print(f"GT identical: {percent(r['gt_share'])} ({r['gt_identical']}/{r['fields_compared']})")
    print(f"largest AVGPOST difference: {largest}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
