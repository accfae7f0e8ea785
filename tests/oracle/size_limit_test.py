"""A conversion that runs into the output's size limit (the ANSI format's
ceiling, scaled down here with --max-size so the test stays quick):

- without --split the output is filled as far as it goes: exit code 1, the
  messages that did not fit listed by folder, and every message of the
  source either in the output (as pypff counts it) or listed;
- with --split every message is carried across NAME.pst, NAME-part2.pst...,
  each under the limit, each passing check and read by pypff and readpst;
  the report lists the parts.
The source is not changed.

usage: size_limit_test.py CLI MAKE_STORE
"""

import glob
import json
import os
import subprocess
import sys
import tempfile
import unittest

import oracle_lib

CLI = None
MAKE_STORE = None
LIMIT = 20 * 1024 * 1024


def pypff_messages(path):
    """Messages below the top folder, as pypff counts them."""
    return sum(counts[0] for counts in oracle_lib.pypff_folders(path, 1252).values())


class SizeLimit(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.source = os.path.join(cls.work.name, "big.pst")
        subprocess.run([MAKE_STORE, "--format", "unicode", "--size", "40M", "--seed", "7",
                        "--max-attachment", "4M", cls.source], check=True, capture_output=True)
        cls.before = oracle_lib.sha256(cls.source)
        cls.source_messages = pypff_messages(cls.source)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def convert(self, name, *extra):
        out_dir = os.path.join(self.work.name, name)
        os.mkdir(out_dir)
        report = os.path.join(out_dir, "report.json")
        proc = subprocess.run([CLI, "convert", self.source, "-o", out_dir, "--to", "ansi", "--max-size", str(LIMIT),
                               "--report", report, *extra], capture_output=True, text=True, timeout=600)
        self.assertEqual(oracle_lib.sha256(self.source), self.before)
        with open(report) as f:
            return proc, json.load(f)["sources"][0]

    def assert_sound(self, path):
        self.assertLessEqual(os.path.getsize(path), LIMIT)
        check = subprocess.run([CLI, "check", path], capture_output=True, text=True, timeout=600)
        self.assertEqual(check.returncode, 0, check.stdout[-2000:])
        rp = subprocess.run(["readpst", "-j", "0", "-D", "-S", "-o", os.path.dirname(path), path], capture_output=True,
                            timeout=600)
        self.assertEqual(rp.returncode, 0)

    def test_the_output_is_filled_and_what_did_not_fit_is_listed(self):
        proc, report = self.convert("fill")
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("reached its size limit", proc.stdout)
        self.assertNotIn("folder not copied:", proc.stdout)
        out = proc.stdout.splitlines()[0]
        self.assert_sound(out)
        self.assertEqual(report["parts"], [out])
        did_not_fit = sum(entry["messages"] for entry in report["did_not_fit"])
        self.assertGreater(did_not_fit, 0)
        self.assertEqual(report["messages_that_did_not_fit"], did_not_fit)
        self.assertEqual(len([l for l in proc.stdout.splitlines() if l.startswith("  did not fit: ")]),
                         len(report["did_not_fit"]))
        in_output = pypff_messages(out)
        self.assertEqual(in_output + did_not_fit, self.source_messages)
        # Most of the room is used: the limit, not a whole tree left out, ends it.
        self.assertGreater(os.path.getsize(out), LIMIT * 3 // 4)

    def test_split_carries_every_message(self):
        proc, report = self.convert("split", "--split")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        parts = report["parts"]
        self.assertGreaterEqual(len(parts), 2)
        self.assertEqual(parts[0], report["output"])
        stem = parts[0][:-len(".pst")]
        self.assertEqual(parts[1:], ["%s-part%d.pst" % (stem, n) for n in range(2, len(parts) + 1)])
        self.assertEqual(sorted(glob.glob(os.path.join(os.path.dirname(parts[0]), "*.pst"))), sorted(parts))
        self.assertEqual(report["did_not_fit"], [])
        for part in parts:
            self.assert_sound(part)
            self.assertIn(part, proc.stdout)
        self.assertEqual(sum(pypff_messages(p) for p in parts), self.source_messages)
        self.assertEqual(report["output_counts"]["messages"], self.source_messages)


if __name__ == "__main__":
    CLI, MAKE_STORE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
