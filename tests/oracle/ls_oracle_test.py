"""`quillmar-cli ls` against independent readers on every sample store.

The folder tree (names and nesting) and each folder's message count must be
what pypff reads; every folder readpst exports must be there with the number
of items readpst exported from it.

usage: ls_oracle_test.py CLI TESTDATA_DIR
"""

import glob
import os
import subprocess
import sys
import unittest

import oracle_lib

CLI = None
TESTDATA = None


def stores():
    paths = sorted(glob.glob(os.path.join(TESTDATA, "*.pst")) + glob.glob(os.path.join(TESTDATA, "*.ost")))
    if not paths:
        raise RuntimeError("no sample stores in " + TESTDATA)
    return paths


class LsAgreesWithPypff(unittest.TestCase):
    def test_every_store(self):
        for path in stores():
            with self.subTest(store=os.path.basename(path)):
                cp = oracle_lib.codepage_for(path)
                rc, ours, err = oracle_lib.cli_ls(CLI, path, cp)
                self.assertEqual(rc, 0, err)
                theirs = oracle_lib.pypff_folders(path, cp)
                ours_messages = {p: sorted(c[0] for c in counts) for p, counts in ours.items()}
                theirs_messages = {p: sorted(c) for p, c in theirs.items()}
                self.assertEqual(ours_messages, theirs_messages)


class LsAgreesWithReadpst(unittest.TestCase):
    def test_every_store(self):
        for path in stores():
            name = os.path.basename(path)
            with self.subTest(store=name):
                cp = oracle_lib.codepage_for(path)
                rc, ours, err = oracle_lib.cli_ls(CLI, path, cp)
                self.assertEqual(rc, 0, err)
                rp_rc, exported, skipped = oracle_lib.readpst_folders(path, cp)
                self.assertEqual(rp_rc, 0)
                # readpst names the top of the visible tree after the store and
                # exports only that tree, so match folders by the path below it.
                for rel, count in exported.items():
                    parts = rel.split(os.sep)
                    if len(parts) == 1:
                        continue
                    suffix = "/".join(oracle_lib.escape_component(p) for p in parts[1:])
                    matches = [c[0] for p, counts in ours.items() if p.endswith("/" + suffix)
                               for c in counts]
                    self.assertTrue(matches, "readpst exported folder %r that ls does not list" % rel)
                    # readpst skips some items (and says how many); it never invents any.
                    slack = skipped.get(parts[-1], 0)
                    self.assertTrue(any(count <= m <= count + slack for m in matches),
                                    "%r: readpst exported %d (skipped %d), ls counts %r"
                                    % (rel, count, slack, matches))


class BrokenAndJapaneseStores(unittest.TestCase):
    def test_truncated_header_gives_a_clear_error(self):
        path = os.path.join(TESTDATA, "unicode-truncated-header-40b.bin")
        proc = subprocess.run([CLI, "ls", path], capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 3)  # unreadable
        self.assertEqual(proc.stdout, "")
        self.assertIn("header", proc.stderr.lower())

    def test_japanese_ansi_names_decode_with_code_page_932(self):
        path = os.path.join(TESTDATA, "ansi-cp932-japanese.pst")
        rc, ours, err = oracle_lib.cli_ls(CLI, path, 932)
        self.assertEqual(rc, 0, err)
        self.assertIn("Outlook データ ファイルのトップ", ours)
        info = subprocess.run([CLI, "dump", "--codepage", "932", path, "Outlook データ ファイルのトップ"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(info.returncode, 0, info.stderr)


if __name__ == "__main__":
    CLI, TESTDATA = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
