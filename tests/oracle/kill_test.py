"""`quillmar-cli convert` killed with SIGKILL at random moments of its run,
in both directions: the source is never changed, every file the killed run
leaves behind passes `quillmar-cli check`, and only a run that got to its
end leaves a file under the final name (Brantwick-dd-mm-yyyy-hh-mm-ss.pst);
an unfinished one leaves at most its ".partial" file.

Besides generated stores in both directions, a real store whose mail is all
in Deleted Items, so that most kills land while that folder is copied (the
empty output's own Deleted Items has been deleted by then, but stays on disk
until the copy takes over its role).

usage: kill_test.py CLI TESTDATA_DIR MAKE_STORE
The seed of the kill moments is printed; QUILLMAR_KILL_SEED repeats a run.
"""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import oracle_lib

CLI = None
TESTDATA = None
MAKE_STORE = None

FINAL_NAME = re.compile(r"^Brantwick-\d\d-\d\d-\d{4}-\d\d-\d\d-\d\d(-\d+)?\.pst$")
KILLS_PER_DIRECTION = 28
# Moments in the first few milliseconds: opening the source and creating
# the empty output, a window that random moments over the run rarely hit.
EARLY_KILLS = (0.0, 0.002, 0.005, 0.010, 0.020)


def check(path):
    proc = subprocess.run([CLI, "check", "--errors-only", path], capture_output=True, text=True,
                          timeout=300)
    return proc.returncode, proc.stdout[-3000:] + proc.stderr[-1000:]


class KilledConversion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.seed = int(os.environ.get("QUILLMAR_KILL_SEED", random.randrange(1 << 30)))
        print("kill moments seed: %d" % cls.seed, file=sys.stderr)
        # Generated stores big enough that a run lasts about a second.
        cls.sources = {}
        for fmt, size in (("unicode", "120M"), ("ansi", "120M")):
            path = os.path.join(cls.work.name, "source-%s.pst" % fmt)
            subprocess.run([MAKE_STORE, "--format", fmt, "--size", size, "--seed", "11",
                            "--max-attachment", "256K", path], check=True, capture_output=True)
            cls.sources[fmt] = path

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def convert(self, source, out_dir, extra_args=(), kill_after=None):
        """Runs convert, killing it `kill_after` seconds after the start;
        returns (exit status, seconds it ran)."""
        start = time.monotonic()
        proc = subprocess.Popen([CLI, "convert", source, "-o", out_dir] + list(extra_args),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        if kill_after is not None:
            time.sleep(kill_after)
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
        rc = proc.wait(timeout=600)
        return rc, time.monotonic() - start

    def check_left_behind(self, out_dir, rc, clean_size, where):
        """Every file in out_dir passes check; a final name only for a
        finished run (or one killed after its rename, holding the finished
        store)."""
        names = sorted(os.listdir(out_dir))
        finals = [n for n in names if FINAL_NAME.match(n)]
        partials = [n for n in names if n.endswith(".partial") and FINAL_NAME.match(n[:-len(".partial")])]
        self.assertEqual(sorted(finals + partials), names, "%s: unexpected files %s" % (where, names))
        for name in names:
            code, text = check(os.path.join(out_dir, name))
            self.assertEqual(code, 0, "%s: %s left behind does not pass check:\n%s" % (where, name, text))
        if rc == -signal.SIGKILL:
            # Killed between the rename and the exit: the store is finished.
            for name in finals:
                self.assertEqual(partials, [], "%s: killed run left %s and %s" % (where, name, partials))
                self.assertEqual(os.path.getsize(os.path.join(out_dir, name)), clean_size,
                                 "%s: killed run left an unfinished store under the final name %s"
                                 % (where, name))
        else:
            self.assertEqual(rc, 0, where)
            self.assertEqual(len(finals), 1, "%s: finished run left %s" % (where, names))
            self.assertEqual(partials, [], "%s: finished run left %s" % (where, names))
        return len(finals), len(partials)

    def kill_once(self, label, source, extra_args, moment, before, clean_size, seen):
        """One run killed `moment` seconds in; checks what it left and
        counts it in `seen`. Returns whether the kill caught the run."""
        where = "%s, kill after %.3f s" % (label, moment)
        with tempfile.TemporaryDirectory(dir=self.work.name) as out_dir:
            rc, _ = self.convert(source, out_dir, extra_args, kill_after=moment)
            self.assertEqual(oracle_lib.sha256(source), before, "%s: the source changed" % where)
            finals, partials = self.check_left_behind(out_dir, rc, clean_size, where)
        killed = rc == -signal.SIGKILL
        seen["killed" if killed else "finished"] += 1
        seen["partial left"] += partials
        if killed:
            seen["final left by killed run"] += finals
        return killed

    def run_kills(self, label, source, kills, extra_args=(), early=EARLY_KILLS, window=(0.0, 1.05)):
        """Kills `kills` runs at random moments in `window` (fractions of a
        clean run's duration), and more at the `early` moments (seconds)."""
        before = oracle_lib.sha256(source)
        rng = random.Random("%d-%s" % (self.seed, label))

        # The shortest of three clean runs: the first one also warms the cache.
        durations = []
        for _ in range(3):
            with tempfile.TemporaryDirectory(dir=self.work.name) as out_dir:
                rc, seconds = self.convert(source, out_dir, extra_args)
                self.assertEqual(rc, 0)
                names = os.listdir(out_dir)
                self.assertEqual(len(names), 1, names)
                self.assertTrue(FINAL_NAME.match(names[0]), names)
                clean_size = os.path.getsize(os.path.join(out_dir, names[0]))
                self.check_left_behind(out_dir, rc, clean_size, "%s clean run" % label)
                durations.append(seconds)
        duration = min(durations)
        print("%s: clean run %.2f s, output %d bytes" % (label, duration, clean_size), file=sys.stderr)

        # Random moments over the run; a run that ends before its kill means
        # the clean runs overstated how long a run takes (a cold cache, a
        # busy machine), so later moments are drawn from a shorter run, until
        # `kills` runs were killed (at most three times as many attempts).
        seen = {"killed": 0, "finished": 0, "partial left": 0, "final left by killed run": 0}
        for moment in early:
            self.kill_once(label, source, extra_args, moment, before, clean_size, seen)
        caught = attempts = 0
        while caught < kills and attempts < 3 * kills:
            attempts += 1
            moment = rng.uniform(window[0] * duration, window[1] * duration)
            if self.kill_once(label, source, extra_args, moment, before, clean_size, seen):
                caught += 1
            else:
                duration *= 0.8
        print("%s: %s" % (label, seen), file=sys.stderr)
        # The moments must have caught the run mid-way, not only before or after.
        self.assertGreaterEqual(seen["partial left"], kills // 3, seen)

    def test_unicode_to_ansi(self):
        self.run_kills("generated Unicode store", self.sources["unicode"], KILLS_PER_DIRECTION)

    def test_ansi_to_unicode(self):
        self.run_kills("generated ANSI store", self.sources["ansi"], KILLS_PER_DIRECTION)

    def test_killed_while_deleted_items_is_copied(self):
        # 20 messages with 170 attachments, all in Deleted Items; the store
        # is protected with the password "quickquick".
        password = os.path.join(self.work.name, "password")
        with open(password, "w") as f:
            f.write("quickquick\n")
        source = os.path.join(self.work.name, "unicode-no-encryption.pst")
        shutil.copyfile(os.path.join(TESTDATA, "unicode-no-encryption.pst"), source)
        self.run_kills("Deleted Items store", source, 16,
                       extra_args=["--password-file", password], early=(), window=(0.3, 1.0))


if __name__ == "__main__":
    CLI, TESTDATA, MAKE_STORE = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0], "-v"])
