"""What quillmar-cli says and which exit code it gives when something is
wrong, one table for every command (0 ok, 1 incomplete or some things
failed, 2 usage, 3 store unreadable or password missing or wrong); each
command's --help; what info and ls read from stores with a password or
8-bit names; create keeping a name no 1252 holds (pypff reads it back);
and the convert summary agreeing with info of its output.

usage: refusals_test.py CLI TESTDATA_DIR
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

CLI = TESTDATA = None


def cli(args, cwd=None):
    proc = subprocess.run([CLI] + args, capture_output=True, text=True, timeout=300,
                          stdin=subprocess.DEVNULL, cwd=cwd)
    return proc.returncode, proc.stdout, proc.stderr


class Refusals(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        w = cls.work.name
        cls.small = os.path.join(w, "small.pst")
        shutil.copyfile(os.path.join(TESTDATA, "unicode-pstsdk-sample1.pst"), cls.small)
        cls.locked = os.path.join(w, "locked.pst")
        shutil.copyfile(os.path.join(TESTDATA, "unicode-pstsdk-passworded-posts.pst"), cls.locked)
        cls.wrong = os.path.join(w, "wrong.txt")
        with open(cls.wrong, "w") as f:
            f.write("not it\n")
        cls.right = os.path.join(w, "right.txt")
        with open(cls.right, "w") as f:
            f.write("test\n")
        cls.out = os.path.join(w, "out")
        os.mkdir(cls.out)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_table(self):
        s, locked, out = self.small, self.locked, self.out
        long_dir = os.path.join(out, "x" * 300)
        rows = [
            # arguments, exit code, what it must say
            (["convert", s, "--to", "foo", "-o", out], 2, "--to takes ansi or unicode, not 'foo'"),
            (["convert", s, "--codepage", "abc", "-o", out], 2, "'abc' is not a code page"),
            (["convert", s, "-o"], 2, "-o needs a value"),
            (["convert", s, "-o", os.path.join(out, "missing")], 2, "does not exist"),
            (["convert", s, "-o", s], 2, "is not a folder"),
            (["convert", s, "-o", long_dir], 2, "name too long"),
            (["convert", s, "-o", out, "--max-size", "-5"], 2, "'-5' is not a size"),
            (["convert", s, "-o", out, "--max-size", "0"], 2, "--max-size 0 leaves no room"),
            (["convert", s, "-o", out, "--max-size", "1e6"], 2, "'1e6' is not a size"),
            (["convert", s, "-o", out, "--max-size", "1K"], 2, "below the size of an empty store"),
            (["convert", s, "-o", out, "--shard", "0/2"], 2, "1 <= K <= N"),
            (["convert", os.path.join(out, "nothing.pst"), s, "-o", out], 2, "does not exist"),
            (["convert", locked, "-o", out], 3, "is protected by a password"),
            (["convert", locked, "-o", out, "--password-file", self.wrong], 3, "wrong password"),
            (["info", locked], 3, "is protected by a password"),
            (["info", "--password-file", self.wrong, locked], 3, "wrong password"),
            (["ls", "--password-file", self.wrong, locked], 3, "wrong password"),
            (["dump", "--password-file", self.wrong, locked], 3, "wrong password"),
            (["check", "--password-file", self.wrong, locked], 3, "wrong password"),
            (["check", "--password-file", self.right, locked], 0, "sound"),
            (["info", os.path.join(TESTDATA, "unicode-truncated-header-40b.bin")], 3, "cannot read"),
            (["check", os.path.join(TESTDATA, "unicode-truncated-header-40b.bin")], 3, "unreadable"),
            (["dump", s, "0x7fffffe4"], 2, "holds no folder or message 0x7FFFFFE4"),
            (["ls", s, "extra"], 2, "'extra' is one argument too many"),
            (["ls"], 2, "no store given"),
            (["info", "--bogus", s], 2, "unknown option '--bogus'"),
            (["check", s, s], 2, "one argument too many"),
            (["create", "--format", "ansi", "--name", "\u0410\u0440\u0445\u0438\u0432", "--codepage", "1252",
              os.path.join(out, "c.pst")], 2, "cannot be written in code page 1252"),
            (["create", "--format", "ansi", "--name", "\U0001F600", os.path.join(out, "c.pst")], 2,
             "a Unicode store can hold it"),
        ]
        for args, code, says in rows:
            rc, stdout, stderr = cli(args)
            self.assertEqual(rc, code, "%s: %s%s" % (args, stdout, stderr))
            self.assertIn(says.lower(), (stdout + stderr).lower(), args)
            if code == 2:
                self.assertIn("--help", stderr, args)  # where the usage is
        self.assertEqual(sorted(os.listdir(out)), [])  # no refusal left anything

    def test_help_of_each_command(self):
        for command, option in (("convert", "--max-size"), ("info", "--json"), ("ls", "--codepage"),
                                ("dump", "PATH"), ("check", "--password-file"), ("create", "--name")):
            rc, stdout, _ = cli([command, "--help"])
            self.assertEqual(rc, 0, command)
            self.assertIn("quillmar-cli " + command, stdout)
            self.assertIn(option, stdout, command)
            for code in ("  0 ", "  1 ", "  2 ", "  3 ", "129", "130", "143"):
                self.assertIn(code, stdout, command)

    def test_what_info_ls_and_create_read(self):
        rc, stdout, _ = cli(["info", self.locked])
        self.assertEqual(rc, 3)
        self.assertIn("Format:            Unicode", stdout)
        self.assertIn("Password:          set (not given", stdout)
        self.assertIn("Size:              271360 bytes", stdout)

        japanese = os.path.join(TESTDATA, "ansi-cp932-japanese.pst")
        rc, chosen, _ = cli(["ls", japanese])
        self.assertEqual(rc, 0)
        self.assertEqual(chosen, cli(["ls", "--codepage", "932", japanese])[1])
        self.assertIn("\u30c8\u30c3\u30d7", chosen)  # "top" of the top folder, in katakana

        name = "\u0410\u0440\u0445\u0438\u0432"
        for fmt, pypff_codepage in (("ansi", "windows-1251"), ("unicode", None)):
            path = os.path.join(self.work.name, "named-%s.pst" % fmt)
            self.assertEqual(cli(["create", "--format", fmt, "--name", name, path])[0], 0)
            import pypff
            f = pypff.file()
            if pypff_codepage:
                f.set_ascii_codepage(pypff_codepage)
            f.open(path)
            self.assertEqual(f.get_message_store().name, name, fmt)
            f.close()
            rc, stdout, _ = cli(["info", "--json", path])
            self.assertEqual(json.loads(stdout)["display_name"], name, fmt)

    def test_convert_summary_agrees_with_info(self):
        out = tempfile.mkdtemp(dir=self.work.name)
        source = os.path.join(TESTDATA, "unicode-follow-up-flags.pst")
        rc, stdout, stderr = cli(["convert", source, "-o", out])
        self.assertEqual(rc, 0, stderr)
        lines = stdout.splitlines()
        summary = dict(l.split(": ", 1) for l in lines[1:] if ": " in l and not l.startswith(" "))
        rc, info, _ = cli(["info", "--json", lines[0]])
        info = json.loads(info)
        self.assertEqual(int(summary["folders"]), info["folders"])
        self.assertEqual(int(summary["messages"]), info["messages"])
        self.assertEqual(int(summary["FAI messages"]), info["fai_messages"])
        self.assertEqual(summary["attachments"].split()[0], str(info["attachments"]))


if __name__ == "__main__":
    CLI, TESTDATA = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
