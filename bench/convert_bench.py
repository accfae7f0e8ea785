#!/usr/bin/env python3
"""Conversion benchmark: quillmar-cli convert on stores, beside `cp` of the
same source in the same run. Prints time, MB/s (of the source's size), peak
memory of the converter, and the ratio of its time to cp's. The converter
syncs what it writes before it finishes, so the copy is synced too
(`cp` + `sync` of the copy): both times end with the bytes on the disk.
Each figure is the best of three; the source is read once first, so both
start from the page cache.

usage: bench/convert_bench.py CLI [STORE ...]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time


def run(cmd):
    """Wall time and peak RSS (MiB) of one command, measured by GNU time."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + cmd,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        if proc.returncode not in (0, 1):
            raise RuntimeError("%s failed: %s" % (cmd, proc.stderr.decode(errors="replace")[-500:]))
        peak_kib = int(report.read().strip().splitlines()[-1])
    return elapsed, peak_kib / 1024.0


def best(cmd, repeat, setup=None):
    times, peaks = [], []
    for _ in range(repeat):
        if setup:
            setup()
        t, p = run(cmd)
        times.append(t)
        peaks.append(p)
    return min(times), max(peaks)


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "oracle"))
import oracle_lib  # noqa: E402  (passwords of the protected samples)


def main():
    args = sys.argv[1:]
    if any(a in ("-h", "--help") for a in args):
        print(__doc__.strip().splitlines()[-1])
        return 0
    bad = [a for a in args if a.startswith("-")]
    if bad or not args:
        print("convert_bench.py: %s" % ("unknown option " + bad[0] if bad else "no CLI given"), file=sys.stderr)
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    cli = args[0]
    stores = args[1:] or [
        "../shared/testdata/pst/unicode-enron-13mb.pst",
        "../shared/testdata/pst/unicode-tika-testpst-french-2mb.pst",
        "../shared/testdata/pst/unicode-high-encryption.pst",
        "../shared/testdata/pst/ansi-outlook97-passworded-294msgs.pst",
    ]
    print("%-42s %-8s %9s %8s %9s %9s %7s" % ("store", "to", "seconds", "MB/s", "peak_MiB", "cp_s", "ratio"))
    for store in stores:
        size = os.path.getsize(store)
        subprocess.run(["cat", store], stdout=subprocess.DEVNULL, check=True)
        for to in ("ansi", "unicode"):
            with tempfile.TemporaryDirectory() as out:
                def clean():
                    for f in os.listdir(out):
                        os.remove(os.path.join(out, f))
                t, peak = best([cli, "convert", store, "-o", out, "--to", to] + oracle_lib.password_args(store), 3, clean)
                cp_dest = os.path.join(out, "copy.pst")
                cp_t, _ = best(["sh", "-c", 'cp "$1" "$2" && sync "$2"', "cp", store, cp_dest], 3, clean)
            print("%-42s %-8s %9.3f %8.1f %9.1f %9.4f %6.1fx" % (
                os.path.basename(store), to, t, size / t / 1e6, peak, cp_t, t / cp_t))


if __name__ == "__main__":
    sys.exit(main())
