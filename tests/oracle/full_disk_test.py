"""`quillmar-cli convert` on a disk that fills up: the process may not write
past RLIMIT_FSIZE bytes into a file (SIGXFSZ ignored, so the write fails
with EFBIG, "File too large", as it would with ENOSPC on a full disk), at
limits spread from the size of an empty store to the size of the whole
output, in both directions. Each time: the source is unchanged, the run
exits with 1 and says that writing failed and why, and whatever file it
leaves passes `quillmar-cli check` and keeps its ".partial" name. Under the size of an empty store: exit
1, a clear message, and no file left at all.

usage: full_disk_test.py CLI TESTDATA_DIR MAKE_STORE
"""

import errno
import os
import resource
import signal
import subprocess
import sys
import tempfile
import unittest

import oracle_lib

CLI = None
TESTDATA = None
MAKE_STORE = None

LIMITS_PER_DIRECTION = 10
# What strerror(EFBIG) says; the run must pass the reason on.
TOO_LARGE = os.strerror(errno.EFBIG)


def limited_to(limit):
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return preexec


class FullDisk(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        # A real Unicode store with attachments, and a generated ANSI one.
        ansi = os.path.join(cls.work.name, "generated-ansi.pst")
        subprocess.run([MAKE_STORE, "--format", "ansi", "--size", "12M", "--seed", "5",
                        "--max-attachment", "1M", ansi], check=True, capture_output=True)
        unicode_copy = os.path.join(cls.work.name, "unicode-enron-13mb.pst")
        with open(os.path.join(TESTDATA, "unicode-enron-13mb.pst"), "rb") as src, \
                open(unicode_copy, "wb") as dst:
            dst.write(src.read())
        cls.sources = {"ansi": ansi, "unicode": unicode_copy}

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def convert(self, source, out_dir, limit=None):
        return subprocess.run([CLI, "convert", source, "-o", out_dir], capture_output=True, text=True,
                              timeout=600, preexec_fn=limited_to(limit) if limit is not None else None)

    def empty_store_size(self, fmt):
        with tempfile.TemporaryDirectory(dir=self.work.name) as d:
            path = os.path.join(d, "empty.pst")
            subprocess.run([CLI, "create", "--format", fmt, path], check=True, capture_output=True)
            return os.path.getsize(path)

    def assert_left_sound(self, out_dir, where):
        for name in os.listdir(out_dir):
            proc = subprocess.run([CLI, "check", "--errors-only", os.path.join(out_dir, name)],
                                  capture_output=True, text=True, timeout=300)
            self.assertEqual(proc.returncode, 0, "%s: %s left behind does not pass check:\n%s"
                             % (where, name, proc.stdout[-3000:] + proc.stderr[-1000:]))

    def run_direction(self, fmt, target_fmt):
        source = self.sources[fmt]
        before = oracle_lib.sha256(source)
        with tempfile.TemporaryDirectory(dir=self.work.name) as out_dir:
            clean = self.convert(source, out_dir)
            self.assertEqual(clean.returncode, 0, clean.stdout[-2000:] + clean.stderr[-2000:])
            (name,) = os.listdir(out_dir)
            full = os.path.getsize(os.path.join(out_dir, name))
        empty = self.empty_store_size(target_fmt)
        self.assertLess(empty, full)

        step = (full - empty) // LIMITS_PER_DIRECTION
        limits = [empty + i * step for i in range(LIMITS_PER_DIRECTION)]
        kept = 0
        for limit in limits:
            where = "%s source, file size limit %d (empty %d, whole output %d)" % (fmt, limit, empty, full)
            with tempfile.TemporaryDirectory(dir=self.work.name) as out_dir:
                proc = self.convert(source, out_dir, limit)
                said = proc.stdout + proc.stderr
                self.assertNotIn("Sanitizer", said, where)  # an ASan build also exits with 1
                self.assertEqual(proc.returncode, 1, "%s:\n%s" % (where, said[-3000:]))
                self.assertIn(TOO_LARGE, said, "%s: the reason is not given:\n%s" % (where, said[-3000:]))
                self.assertEqual(oracle_lib.sha256(source), before, "%s: the source changed" % where)
                left = os.listdir(out_dir)
                self.assertLessEqual(len(left), 1, "%s: %s" % (where, left))
                # Cut short, it never looks finished.
                self.assertEqual([n for n in left if not n.endswith(".partial")], [], where)
                self.assert_left_sound(out_dir, where)
                for n in left:
                    self.assertLessEqual(os.path.getsize(os.path.join(out_dir, n)), limit, where)
                kept += len(left)
                print("%s: exit %d, %d file(s) left; says: %s" % (
                    where, proc.returncode, len(left),
                    " | ".join(l for l in said.splitlines() if TOO_LARGE in l or "incomplete" in l)[:400]),
                    file=sys.stderr)
        return kept

    def test_unicode_to_ansi(self):
        self.run_direction("unicode", "ansi")

    def test_ansi_to_unicode(self):
        self.run_direction("ansi", "unicode")

    def test_limit_below_an_empty_store_leaves_nothing(self):
        source = self.sources["unicode"]
        before = oracle_lib.sha256(source)
        for limit in (0, 4096, self.empty_store_size("ansi") - 1):
            where = "file size limit %d" % limit
            with tempfile.TemporaryDirectory(dir=self.work.name) as out_dir:
                proc = self.convert(source, out_dir, limit)
                said = proc.stdout + proc.stderr
                self.assertNotIn("Sanitizer", said, where)
                self.assertEqual(proc.returncode, 1, "%s:\n%s" % (where, said[-3000:]))
                self.assertIn(TOO_LARGE, said, "%s:\n%s" % (where, said[-3000:]))
                self.assertIn("cannot create the output store", said, where)
                self.assertEqual(os.listdir(out_dir), [], "%s: %s" % (where, said))
                self.assertEqual(oracle_lib.sha256(source), before, where)
                print("%s: says: %s" % (where, said.strip()[:400]), file=sys.stderr)


if __name__ == "__main__":
    CLI, TESTDATA, MAKE_STORE = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0], "-v"])
