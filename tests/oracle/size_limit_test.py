"""A conversion that runs into the output's size limit (the ANSI format's
ceiling, scaled down here with --max-size so the test stays quick) fails
cleanly: exit code 1, a message that says so and names the folders left out,
and an output that passes check, that pypff and readpst read, and that holds
exactly the folders that were copied whole. The source is not changed.

usage: size_limit_test.py CLI MAKE_STORE
"""

import os
import subprocess
import sys
import tempfile
import unittest

import oracle_lib

CLI = None
MAKE_STORE = None


class SizeLimit(unittest.TestCase):
    def test_conversion_stops_cleanly_at_the_limit(self):
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "big.pst")
            subprocess.run([MAKE_STORE, "--format", "unicode", "--size", "40M", "--seed", "7",
                            "--max-attachment", "4M", source], check=True, capture_output=True)
            before = oracle_lib.sha256(source)
            out_dir = os.path.join(work, "out")
            os.mkdir(out_dir)
            limit = 20 * 1024 * 1024
            proc = subprocess.run([CLI, "convert", source, "-o", out_dir, "--to", "ansi",
                                   "--max-size", str(limit)], capture_output=True, text=True, timeout=600)
            self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
            self.assertIn("reached its size limit", proc.stdout)
            self.assertIn("folder not copied:", proc.stdout)
            self.assertEqual(oracle_lib.sha256(source), before)
            out = proc.stdout.splitlines()[0]
            self.assertLessEqual(os.path.getsize(out), limit)
            check = subprocess.run([CLI, "check", out], capture_output=True, text=True, timeout=600)
            self.assertEqual(check.returncode, 0, check.stdout[-2000:])
            rp = subprocess.run(["readpst", "-D", "-S", "-o", work, out], capture_output=True, timeout=600)
            self.assertEqual(rp.returncode, 0)

            import pypff
            f = pypff.file()
            f.open(out)
            names = set()
            root = f.get_root_folder()
            for i in range(root.number_of_sub_folders):
                top = root.get_sub_folder(i)
                for j in range(top.number_of_sub_folders):
                    names.add(top.get_sub_folder(j).name)
            f.close()
            left_out = {line.split(":")[1].strip() for line in proc.stdout.splitlines()
                        if line.startswith("  folder not copied:")}
            self.assertTrue(left_out)
            # What was left out is absent; what was copied is there.
            self.assertFalse(left_out & names)
            self.assertIn("Inbox", names | left_out)


if __name__ == "__main__":
    CLI, MAKE_STORE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
