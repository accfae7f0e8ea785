"""Protected stores on the command line: a store with a password is read only
with it (from --password-file or typed at a terminal), a refusal writes
nothing, and a converted store keeps the password, as pffinfo reports it.

usage: password_test.py CLI TESTDATA_DIR
"""

import glob
import os
import pty
import re
import select
import subprocess
import sys
import tempfile
import time
import unittest

import oracle_lib

CLI = TESTDATA = None


def run(args, **kw):
    return subprocess.run([CLI] + args, capture_output=True, text=True, timeout=600,
                          stdin=subprocess.DEVNULL, **kw)


def pffinfo_checksum(path):
    """The password checksum pffinfo (libpff) reads from a store, or None."""
    proc = subprocess.run(["pffinfo", path], capture_output=True, text=True, timeout=300)
    m = re.search(r"Password checksum:\s*(0x[0-9a-fA-F]+)", proc.stdout)
    return int(m.group(1), 16) if m else None


def with_terminal(args, answers, timeout=120):
    """Runs the CLI with a pseudo-terminal as its input, typing each answer
    when a password prompt appears; (exit code, everything the terminal showed)."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(CLI, [CLI] + args)
    shown = b""
    answers = list(answers)
    prompts = 0
    deadline = time.time() + timeout
    status = None
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            shown += chunk
            if shown.count(b"Password for") > prompts and answers:
                prompts += 1
                os.write(fd, answers.pop(0).encode() + b"\n")
            if not chunk:
                break
        done, st = os.waitpid(pid, os.WNOHANG)
        if done:
            status = st
            break
    else:
        os.kill(pid, 9)  # it hung: waiting for input nobody gives
    if status is None:
        _, status = os.waitpid(pid, 0)
    while True:  # what it wrote just before it ended
        try:
            ready, _, _ = select.select([fd], [], [], 0.1)
            chunk = os.read(fd, 4096) if ready else b""
        except OSError:
            chunk = b""
        if not chunk:
            break
        shown += chunk
    os.close(fd)
    return os.waitstatus_to_exitcode(status), shown.decode(errors="replace")


def protected_samples():
    return [os.path.join(TESTDATA, n) for n in sorted(oracle_lib.SAMPLE_PASSWORDS)]


class ProtectedStores(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.wrong = os.path.join(self.dir.name, "wrong.txt")
        with open(self.wrong, "w") as f:
            f.write("not-the-password\n")

    def test_reading_commands_need_the_password(self):
        for path in protected_samples():
            with self.subTest(store=os.path.basename(path)):
                self.assertIsNotNone(pffinfo_checksum(path), "the sample is not protected")
                for command in (["ls"], ["info"], ["dump"]):
                    # info still tells what the header says; nothing of the contents.
                    told = (lambda out: "Password:          set (not given" in out) if command == ["info"] \
                        else (lambda out: out == "")
                    missing = run(command + [path])
                    self.assertEqual(missing.returncode, 3)
                    self.assertTrue(told(missing.stdout), missing.stdout)
                    self.assertIn("is protected by a password", missing.stderr)
                    self.assertIn("--password-file", missing.stderr)
                    wrong = run(command + ["--password-file", self.wrong, path])
                    self.assertEqual(wrong.returncode, 3)
                    self.assertTrue(told(wrong.stdout), wrong.stdout)
                    self.assertIn("wrong password", wrong.stderr)
                    right = run(command + oracle_lib.password_args(path) + [path])
                    self.assertEqual(right.returncode, 0, right.stderr)
                    self.assertNotEqual(right.stdout, "")

    def test_refused_conversion_writes_nothing(self):
        path = os.path.join(TESTDATA, "unicode-high-encryption.pst")
        out = os.path.join(self.dir.name, "out")
        os.mkdir(out)
        for extra, says in (([], "is protected by a password"),
                            (["--password-file", self.wrong], "wrong password"),
                            (["--password-file", os.path.join(self.dir.name, "absent")],
                             "cannot read the password file")):
            proc = run(["convert", path, "-o", out] + extra)
            self.assertEqual(proc.returncode, 3, proc.stderr)
            self.assertIn(says, proc.stderr)
            self.assertEqual(os.listdir(out), [])

    def test_converted_store_keeps_the_password(self):
        for name in ("ansi-outlook97-passworded-294msgs.pst", "unicode-javalibpst-passworded.pst"):
            path = os.path.join(TESTDATA, name)
            with self.subTest(store=name), tempfile.TemporaryDirectory() as out:
                proc = run(["convert", path, "-o", out] + oracle_lib.password_args(path))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                output = proc.stdout.splitlines()[0]
                self.assertEqual(pffinfo_checksum(output), pffinfo_checksum(path))
                self.assertEqual(run(["ls", output]).returncode, 3)
                self.assertEqual(run(["ls"] + oracle_lib.password_args(path) + [output]).returncode, 0)
                self.assertEqual(run(["check", output]).returncode, 0)

    def test_unprotected_store_never_asks(self):
        path = os.path.join(TESTDATA, "ansi-pstsdk-sample2.pst")
        self.assertIsNone(pffinfo_checksum(path))
        code, shown = with_terminal(["ls", path], [])
        self.assertEqual(code, 0, shown)
        self.assertNotIn("assword", shown)


class TerminalPrompt(unittest.TestCase):
    SAMPLE = "ansi-outlook97-passworded-294msgs.pst"

    def test_typed_password_is_not_echoed_and_opens_the_store(self):
        path = os.path.join(TESTDATA, self.SAMPLE)
        code, shown = with_terminal(["ls", path], ["pass12345"])
        self.assertEqual(code, 0, shown)
        self.assertIn("Password for", shown)
        self.assertNotIn("pass12345", shown)
        self.assertIn("Inbox", shown)

    def test_three_wrong_answers_are_refused(self):
        path = os.path.join(TESTDATA, self.SAMPLE)
        with tempfile.TemporaryDirectory() as out:
            code, shown = with_terminal(["convert", path, "-o", out], ["a", "b", "c"])
            self.assertEqual(code, 3, shown)
            self.assertEqual(shown.count("Password for"), 3)
            self.assertIn("wrong password", shown)
            self.assertEqual(os.listdir(out), [])

    def test_second_try_may_succeed(self):
        path = os.path.join(TESTDATA, self.SAMPLE)
        with tempfile.TemporaryDirectory() as out:
            code, shown = with_terminal(["convert", path, "-o", out], ["nope", "pass12345"])
            self.assertEqual(code, 0, shown)
            self.assertEqual(len(glob.glob(os.path.join(out, "Brantwick-*.pst"))), 1)


if __name__ == "__main__":
    CLI, TESTDATA = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
