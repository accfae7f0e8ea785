"""`quillmar-cli convert` on a folder tree of stores, as an administrator
runs it: several at once, a JSON report whose counts are those `info` reads
in each source and output (and whose output message counts pypff agrees
with), a protected store without its password failed while the rest go on,
a second run that converts nothing, and shards run by GNU parallel whose
union is the whole run.

usage: batch_test.py CLI TESTDATA_DIR
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import oracle_lib

CLI = TESTDATA = None

# relative path in the tree -> sample
TREE = {
    "a/b/old.pst": "ansi-pstsdk-sample2.pst",
    "a/u1.pst": "unicode-pstsdk-sample1.pst",
    "forensic.pst": "unicode-dfrws2009-forensic.pst",
    "c/bodies.pst": "unicode-tika-various-body-types.pst",
    "c/jp.pst": "ansi-cp932-japanese.pst",
    "p/ansi-pw.pst": "ansi-pstsdk-passworded-post.pst",      # password "test"
    "p/uni-pw.pst": "unicode-pstsdk-passworded-posts.pst",   # password "test"
    "p/other-pw.pst": "unicode-javalibpst-passworded.pst",   # another password
}


def cli(*args, **kw):
    return subprocess.run([CLI] + list(args), capture_output=True, text=True, timeout=600,
                          stdin=subprocess.DEVNULL, **kw)


def files_below(top):
    return sorted(os.path.relpath(os.path.join(root, f), top) for root, _, files in os.walk(top) for f in files)


def pypff_messages(path):
    """Messages (not FAI) in every folder, as pypff counts them."""
    import pypff
    f = pypff.file()
    f.open(path)
    total = 0
    stack = [f.get_root_folder()]
    while stack:
        folder = stack.pop()
        total += folder.number_of_sub_messages
        stack.extend(folder.get_sub_folder(i) for i in range(folder.number_of_sub_folders))
    f.close()
    return total


class Batch(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.src = os.path.join(cls.work.name, "src")
        for rel, sample in TREE.items():
            os.makedirs(os.path.dirname(os.path.join(cls.src, rel)), exist_ok=True)
            shutil.copyfile(os.path.join(TESTDATA, sample), os.path.join(cls.src, rel))
        cls.password = os.path.join(cls.work.name, "password.txt")
        with open(cls.password, "w") as f:
            f.write("test\n")

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def batch(self, out, *extra):
        os.makedirs(out, exist_ok=True)
        return cli("convert", self.src, "-o", out, "--password-file", self.password, *extra)

    def test_tree_report_rerun_and_shards(self):
        out = os.path.join(self.work.name, "out")
        report_path = os.path.join(self.work.name, "report.json")
        proc = self.batch(out, "--jobs", "3", "--report", report_path)
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)  # other-pw.pst failed
        self.assertIn("failed: %s" % os.path.join(self.src, "p/other-pw.pst"), proc.stdout)
        with open(report_path) as f:
            report = json.load(f)
        by_rel = {s["relative"]: s for s in report["sources"]}
        self.assertEqual(sorted(by_rel), sorted(TREE))
        failed = by_rel.pop("p/other-pw.pst")
        self.assertEqual(failed["status"], "failed")
        self.assertIn("wrong password", failed["reason"])
        self.assertIsNone(failed["output"])

        for rel, entry in by_rel.items():
            self.assertEqual(entry["status"], "ok", entry)
            stem = os.path.splitext(rel)[0]
            fmt = "unicode" if TREE[rel].startswith("ansi") else "ansi"
            self.assertEqual(entry["output"], os.path.join(out, stem + "-" + fmt + ".pst"))
            pw = [] if not rel.startswith("p/") else ["--password-file", self.password]
            for which, path in (("source_counts", os.path.join(self.src, rel)), ("output_counts", entry["output"])):
                info = cli("info", "--json", *pw, path)
                self.assertEqual(info.returncode, 0, info.stderr)
                info = json.loads(info.stdout)
                for key in ("folders", "messages", "fai_messages", "attachments", "embedded_messages"):
                    self.assertEqual(entry[which][key], info[key], "%s %s %s" % (rel, which, key))
            self.assertEqual(entry["output_counts"]["messages"], pypff_messages(entry["output"]), rel)
            self.assertEqual(entry["output_counts"]["messages"], entry["source_counts"]["messages"], rel)
        totals = report["totals"]
        self.assertEqual((totals["sources"], totals["ok"], totals["failed"], totals["skipped"]), (8, 7, 1, 0))
        self.assertEqual(totals["output_counts"]["messages"],
                         sum(e["output_counts"]["messages"] for e in by_rel.values()))

        # Again: every sound output counts as done; the failed one fails again.
        before = files_below(out)
        again = self.batch(out, "--report", report_path)
        self.assertEqual(again.returncode, 1, again.stdout + again.stderr)
        self.assertEqual(files_below(out), before)
        with open(report_path) as f:
            statuses = sorted(s["status"] for s in json.load(f)["sources"])
        self.assertEqual(statuses, ["failed"] + ["skipped"] * 7)

        # Three shards by GNU parallel, each into its own folder: together the whole run, no store twice.
        shard_root = os.path.join(self.work.name, "shards")
        for k in "123":
            os.makedirs(os.path.join(shard_root, k))
        run = subprocess.run(
            ["parallel", "--will-cite", "--halt", "never", CLI, "convert", self.src, "-o", os.path.join(shard_root, "{}"),
             "--password-file", self.password, "--jobs", "1", "--shard", "{}/3", ":::", "1", "2", "3"],
            capture_output=True, text=True, timeout=600, stdin=subprocess.DEVNULL)
        self.assertIn(run.returncode, (0, 1), run.stdout + run.stderr)  # exit 1 from the failed store's shard
        union = []
        for k in "123":
            union += files_below(os.path.join(shard_root, k))
        self.assertEqual(sorted(union), before)
        self.assertEqual(len(set(union)), len(union))


if __name__ == "__main__":
    CLI, TESTDATA = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
