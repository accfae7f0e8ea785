"""`quillmar-cli convert` at a terminal: a live progress line (share of the
source's bytes, MB/s, time left) on stderr when it is a terminal, none when
it is not or with --quiet; and a run stopped by SIGHUP (the terminal
closed), SIGTERM or SIGINT exits with 128 + the signal and leaves no file.

usage: terminal_test.py CLI MAKE_STORE
"""

import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

CLI = MAKE_STORE = None


def at_terminal(args, stop_when_shown=None, sig=None, timeout=300):
    """Runs the CLI with a pseudo-terminal as stdin, stdout and stderr; sends
    `sig` once `stop_when_shown` appears. (exit code, what the terminal showed)."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(CLI, [CLI] + args)
    shown = b""
    sent = False
    deadline = time.time() + timeout
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        chunk = b""
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            shown += chunk
        if sig and not sent and stop_when_shown.encode() in shown:
            os.kill(pid, sig)
            sent = True
        if ready and not chunk:
            break
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return os.waitstatus_to_exitcode(status), shown.decode(errors="replace")


class Terminal(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.source = os.path.join(cls.work.name, "source.pst")
        # Big enough that a run lasts well past the half second before a rate shows.
        subprocess.run([MAKE_STORE, "--format", "unicode", "--size", "400M", "--seed", "3",
                        "--max-attachment", "512K", cls.source], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def out_dir(self):
        return tempfile.mkdtemp(dir=self.work.name)

    def test_progress_line_only_at_a_terminal(self):
        out = self.out_dir()
        code, shown = at_terminal(["convert", self.source, "-o", out])
        self.assertEqual(code, 0, shown[-2000:])
        self.assertRegex(shown, r"\r *\d+% of \d+\.\d MB, \d+\.\d MB/s, \d+:\d\d left\x1b\[K")
        self.assertIn("folders:", shown)

        quiet = at_terminal(["convert", "--quiet", self.source, "-o", self.out_dir()])
        self.assertEqual(quiet[0], 0, quiet[1][-2000:])
        self.assertNotIn("% of", quiet[1])

        piped = subprocess.run([CLI, "convert", self.source, "-o", self.out_dir()], capture_output=True,
                               text=True, timeout=300, stdin=subprocess.DEVNULL)
        self.assertEqual(piped.returncode, 0, piped.stderr)
        self.assertNotIn("% of", piped.stderr + piped.stdout)
        self.assertNotIn("\r", piped.stderr)

    def test_stop_signals_remove_the_unfinished_output(self):
        out = self.out_dir()
        code, shown = at_terminal(["convert", self.source, "-o", out], "% of", signal.SIGHUP)
        self.assertEqual(code, 129, shown[-2000:])
        self.assertEqual(os.listdir(out), [])
        for sig in (signal.SIGTERM, signal.SIGINT):
            # Into the copying: a run that ended before the signal arrived
            # proves nothing, so it is tried again, sooner.
            for delay in (0.3, 0.1, 0.03, 0.0):
                out = self.out_dir()
                proc = subprocess.Popen([CLI, "convert", self.source, "-o", out], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                deadline = time.time() + 120
                while not any(n.endswith(".partial") for n in os.listdir(out)) and time.time() < deadline:
                    time.sleep(0.01)
                time.sleep(delay)
                proc.send_signal(sig)
                _, said = proc.communicate(timeout=300)
                if proc.returncode != 0:
                    break
            self.assertEqual(proc.returncode, 128 + sig, said)
            self.assertIn("was removed", said)
            self.assertEqual(os.listdir(out), [], sig)

if __name__ == "__main__":
    CLI, MAKE_STORE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
