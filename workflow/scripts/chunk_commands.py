#!/usr/bin/env python3
"""The header of a chromosome's joined calls with the dorsane command of every chunk, in
order, where bcftools concat kept only the first chunk's.

    chunk_commands.py JOINED.vcf.gz CHUNK_0.vcf.gz [CHUNK_1.vcf.gz ...] > header.txt

The header (for bcftools reheader -h) goes to standard output. Exits 1 with a one-line
message when bcftools cannot read a file.
"""

import subprocess
import sys

COMMAND = "##dorsaneCommand="


def header(path):
    done = subprocess.run(["bcftools", "view", "-h", "--no-version", path], capture_output=True,
                          text=True)
    if done.returncode != 0:
        said = (done.stderr.strip().splitlines() or ["failed"])[-1]
        raise OSError(f"{path}: bcftools view -h: {said}")
    return done.stdout.splitlines()


def joined_header(joined, chunks):
    commands = [line for chunk in chunks for line in header(chunk) if line.startswith(COMMAND)]
    lines, placed = [], False
    for line in header(joined):
        if line.startswith(COMMAND):
            if not placed:
                lines += commands
            placed = True
        elif line.startswith("#CHROM") and not placed:
            lines += commands + [line]
            placed = True
        else:
            lines.append(line)
    return lines


def main(argv):
    if len(argv) < 2:
        sys.stderr.write("chunk_commands.py: expected JOINED.vcf.gz and the chunks\n")
        return 1
    try:
        print("\n".join(joined_header(argv[0], argv[1:])))
    except OSError as err:
        sys.stderr.write(f"chunk_commands.py: {err}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
