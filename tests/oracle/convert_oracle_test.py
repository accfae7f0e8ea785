"""`quillmar-cli convert` on every sample store, judged by independent readers.

For each store and each direction that applies (ANSI -> Unicode,
Unicode -> ANSI, and Unicode -> ANSI -> Unicode):
  - the source is byte-identical afterwards;
  - the output passes `quillmar-cli check`;
  - pypff reads the output, and what it reads equals what it reads of the
    source: the folder tree below the top folder, every message's subject,
    sender, plain/HTML/RTF bodies, times, every other property value, and
    every attachment's size and bytes. Only what must differ is normalised:
    8-bit vs Unicode string types, and characters the ANSI code page lacks.
  - readpst reads the output without error and exports as many items.

usage: convert_oracle_test.py CLI TESTDATA_DIR
"""

import glob
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

import oracle_lib

CLI = None
TESTDATA = None

STRING_TYPES = {0x1E, 0x1F}
MULTI_STRING_TYPES = {0x101E, 0x101F}
SKIP_STORES = {"unicode-truncated-header-40b.bin"}
# Outputs that must stay small: this store's 294 messages share one body
# (single-instance blocks), and so must their copies.
MAX_OUTPUT_BYTES = {"ansi-outlook97-passworded-294msgs.pst": 1_000_000}


def decode(value_type, data, codepage):
    if data is None:
        return ""
    if value_type == 0x1F:
        return data.decode("utf-16-le", "replace")
    return data.decode("cp%d" % codepage, "replace")


def decode_multi(value_type, data, codepage):
    if not data or len(data) < 4:
        return []
    count = int.from_bytes(data[:4], "little")
    offsets = [int.from_bytes(data[4 + 4 * i:8 + 4 * i], "little") for i in range(count)] + [len(data)]
    item = 0x1F if value_type == 0x101F else 0x1E
    return [decode(item, data[offsets[i]:offsets[i + 1]], codepage) for i in range(count)]


# Internet code pages and the Windows code page of their script, for 8-bit
# strings that name an Internet code page as theirs.
WINDOWS_CODEPAGE = {
    50220: 932, 50221: 932, 50222: 932, 51932: 932, 20932: 932,
    52936: 936, 20936: 936, 51936: 936, 50225: 949, 51949: 949, 51950: 950,
    20127: 1252, 28591: 1252, 28605: 1252, 28592: 1250, 28595: 1251, 20866: 1251,
    21866: 1251, 28597: 1253, 28599: 1254, 28598: 1255, 38598: 1255, 28596: 1256,
    28594: 1257, 28603: 1257,
}
UNICODE_CODEPAGES = {1200, 1201, 65000, 65001}


LABEL = 0x3FFD  # PidTagMessageCodepage


def folded(text, codepage):
    return text.encode("cp%d" % codepage, "replace").decode("cp%d" % codepage)


def fold_all(value, codepage):
    """A string, or the strings in a tuple or list (named properties), folded."""
    if isinstance(value, str):
        return folded(value, codepage)
    return type(value)(fold_all(v, codepage) for v in value)


def comparable(item, fold_codepage=None, drop_label=False):
    """A folder's or message's snapshot as compared: strings passed through
    fold_codepage (what an ANSI output can hold of them), without the code
    page label when drop_label (an ANSI output may add or change it so that it
    says which code page the strings are in: the decoding checks the label)."""
    def entries(d):
        out = {}
        for k, v in d.items():
            if drop_label and k == (LABEL, 3):
                continue
            if fold_codepage and k[1] in ("string", "strings"):
                v = fold_all(v, fold_codepage)
            out[k] = v
        return out
    if "folder" in item:
        return {"folder": entries(item["folder"])}
    return {"entries": entries(item["entries"]),
            "attachments": sorted(repr((sorted(entries(e).items(), key=repr), data))
                                  for e, data in item["attachments"])}


def int_entry(entries, prop_id):
    for (pid, kind), value in entries:
        if pid == prop_id and kind == 3 and value and len(value) >= 4:
            return int.from_bytes(value[:4], "little")
    return None


class Snapshot:
    """What pypff reads of a store, in a form two stores can be compared in.

    8-bit strings are decoded with the object's own code page (message code
    page, else its Internet code page's Windows code page, else the store's);
    with fold=True every text is also passed through that code page, as a
    Unicode -> ANSI conversion must do."""

    def __init__(self, path, codepage, fold=False):
        import pypff
        self.codepage = codepage
        self.fold = fold
        f = pypff.file()
        if codepage != 1252:
            f.set_ascii_codepage("windows-%d" % codepage)
        f.open(path)
        self.folders = {}
        self.walk(self.top_folder(f.get_root_folder()), "")
        f.close()

    @staticmethod
    def top_folder(root):
        # The visible tree's top: the root's child that holds the most.
        best, best_size = None, -1
        for i in range(root.number_of_sub_folders):
            sub = root.get_sub_folder(i)
            size = sub.number_of_sub_folders + sub.number_of_sub_messages
            name = sub.name or ""
            if name.startswith("SPAM") or "Search" in name or name == "IPM_COMMON_VIEWS":
                size = -1
            if size > best_size:
                best, best_size = sub, size
        # An offline store keeps its visible tree one level further down.
        for i in range(best.number_of_sub_folders if best else 0):
            if best.get_sub_folder(i).name == "IPM_SUBTREE":
                return best.get_sub_folder(i)
        return best

    def object_codepage(self, raw):
        cp = int_entry(raw, 0x3FFD)
        if cp and cp not in UNICODE_CODEPAGES:
            return WINDOWS_CODEPAGE.get(cp, cp)
        cp = int_entry(raw, 0x3FDE)
        if cp and cp not in UNICODE_CODEPAGES:
            return WINDOWS_CODEPAGE.get(cp, cp)
        return self.codepage

    def entries(self, item, codepage=None):
        """{(id, kind): value} of an item's properties with strings decoded."""
        raw = []
        for rs in range(item.number_of_record_sets):
            record_set = item.get_record_set(rs)
            for i in range(record_set.number_of_entries):
                e = record_set.get_entry(i)
                raw.append(((e.entry_type, e.value_type), e.data))
        cp = codepage or self.object_codepage(raw)

        def text(s):
            return s

        out = {}
        for (entry_type, t), data in raw:
            if t in STRING_TYPES:
                value, kind = text(decode(t, data, cp).rstrip("\x00")), "string"
            elif t in MULTI_STRING_TYPES:
                value, kind = tuple(text(v) for v in decode_multi(t, data, cp)), "strings"
            elif t == 0x0D:
                # An object names the subnode that holds it, numbered per store.
                value, kind = (data or b"")[4:8], t
            else:
                value, kind = data, t
            if entry_type >= 0x8000:
                # Named properties are numbered per store; compare their values only.
                out.setdefault(("named", kind), []).append(value)
            else:
                out[(entry_type, kind)] = value
        for key in list(out):
            if key[0] == "named":
                out[key] = sorted(out[key], key=repr)
        return out, cp

    def message(self, m):
        entries, cp = self.entries(m)
        attachments = []
        for i in range(m.number_of_attachments):
            a = m.get_attachment(i)
            att_entries, _ = self.entries(a, cp)
            method = att_entries.get((0x3705, 3))
            if method == (5).to_bytes(4, "little"):
                data = "embedded message"  # its bytes are its own store's layout
            else:
                data = hashlib.md5(a.read_buffer(a.size) if a.size else b"").hexdigest()
            attachments.append((att_entries, data))
        return {"entries": entries, "attachments": attachments, "codepage": cp}

    @staticmethod
    def order(message):
        """Sorts messages by what a conversion keeps as it is (not their text,
        which an ANSI output may hold in another code page, nor its label)."""
        kept = sorted(((k, v) for k, v in message["entries"].items()
                       if k[1] not in ("string", "strings") and k != (LABEL, 3)), key=repr)
        return repr(kept) + repr(sorted(message["entries"].items(), key=repr))

    def walk(self, folder, path):
        messages = [self.message(folder.get_sub_message(i)) for i in range(folder.number_of_sub_messages)]
        messages = sorted(messages, key=Snapshot.order)
        # The folder's own properties (the top folder is the target's own).
        # Counts are recomputed from what was copied (some sources' are stale;
        # check verifies ours), and the special-folder EntryIDs 0x36D0-0x36DF
        # name the copies, so they must differ.
        own = {}
        if path:
            own = {k: v for k, v in self.entries(folder, self.codepage)[0].items()
                   if not (isinstance(k[0], int) and (k[0] in (0x3602, 0x3603, 0x360A, 0x3617)
                                                      or 0x36D0 <= k[0] <= 0x36DF))}
        self.folders[path] = [{"folder": own}] + messages
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            name = sub.name or ""
            if self.fold:
                cp = self.codepage
                name = name.encode("cp%d" % cp, "replace").decode("cp%d" % cp)
            name = oracle_lib.escape_component(name)
            self.walk(sub, path + "/" + name if path else name)


def readpst_export(path):
    """Every message readpst exports, as mbox text with its random MIME
    boundaries normalised, per folder path below the top folder."""
    import re
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.run(["readpst", "-j", "0", "-D", "-r", "-o", out, path], capture_output=True, timeout=900)
        if proc.returncode != 0:
            raise AssertionError("readpst failed on %s: %r" % (path, proc.stderr[-500:]))
        folders = {}
        for root, _, files in os.walk(out):
            rel = os.path.relpath(root, out).split(os.sep)[1:]  # drop the store's own name
            for f in files:
                with open(os.path.join(root, f), "rb") as fh:
                    text = re.sub(rb"boundary-LibPST-iamunique-\d+_-_-", b"B", fh.read())
                # Calendar exports name the item by its node id and stamp the export time.
                text = re.sub(rb"\nUID:0x[0-9a-f]+\n", b"\nUID:\n", text)
                text = re.sub(rb"\nDTSTAMP:\d+T\d+Z\n", b"\nDTSTAMP:\n", text)
                # readpst labels 8-bit text by the message's code page, and text
                # that declares none as ISO-8859-1; an ANSI output declares the
                # code page (1252) of a message that did not.
                text = text.replace(b'charset="iso-8859-1"', b'charset="windows-1252"')
                folders["/".join(rel) + "/" + f] = text
        return folders


def replaced_characters(log):
    for line in log.splitlines():
        if line.startswith("characters replaced:"):
            return int(line.split(":")[1])
    return None


def convert(path, out_dir, to=None, codepage=1252, sample=None):
    """Converts `path`; `sample` names the sample whose password it has."""
    cmd = [CLI, "convert", path, "-o", out_dir, "--codepage", str(codepage)]
    cmd += oracle_lib.password_args(sample or path)
    if to:
        cmd += ["--to", to]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=900, stdin=subprocess.DEVNULL)
    lines = proc.stdout.splitlines()
    return proc.returncode, (lines[0] if lines else ""), proc.stdout + proc.stderr


def stores():
    paths = sorted(glob.glob(os.path.join(TESTDATA, "*.pst")) + glob.glob(os.path.join(TESTDATA, "*.ost")))
    return [p for p in paths if os.path.basename(p) not in SKIP_STORES]


def is_ansi(path):
    return os.path.basename(path).startswith("ansi-")


class ConvertAgainstOracles(unittest.TestCase):
    maxDiff = 4000
    longMessage = True

    def assert_same_export(self, ours, theirs):
        """readpst exports the same mail from both stores. readpst itself has
        been seen to export nothing (exit 0) on a heavily loaded machine, so a
        difference counts only when a second export of both shows it too. The
        failure names the differing files, not a diff of megabytes of mbox
        text (difflib would take many minutes over it)."""
        for _ in range(2):
            a, b = readpst_export(ours), readpst_export(theirs)
            if a == b:
                return
        differing = sorted(k for k in set(a) | set(b) if a.get(k) != b.get(k))

        def where(k):  # the first differing bytes, so a failure says what differed
            x, y = a.get(k, b""), b.get(k, b"")
            at = next((i for i in range(min(len(x), len(y))) if x[i] != y[i]), min(len(x), len(y)))
            return "at %d: %r vs %r" % (at, x[max(0, at - 40):at + 40], y[max(0, at - 40):at + 40])

        self.fail("readpst exports differ in %d files: %s" % (len(differing), "; ".join(
            "%s (%s vs %s bytes) %s" % (k, len(a.get(k, b"")), len(b.get(k, b"")), where(k))
            for k in differing[:5])))

    def check_output(self, out):
        proc = subprocess.run([CLI, "check", out], capture_output=True, text=True, timeout=900)
        self.assertEqual(proc.returncode, 0, proc.stdout[-3000:])
        # What we write has no warnings either: nothing Outlook would have to tolerate.
        self.assertIn(", 0 errors, 0 warnings,", proc.stdout, proc.stdout[-3000:])
        rp = subprocess.run(["readpst", "-j", "0", "-D", "-o", os.path.dirname(out) + "/rp", out] if False else
                            ["readpst", "-j", "0", "-D", "-S", "-o", tempfile.mkdtemp(), out],
                            capture_output=True, timeout=900)
        self.assertEqual(rp.returncode, 0, rp.stderr[-2000:])

    def compare(self, source, output, codepage, fold):
        theirs = Snapshot(source, codepage, fold)
        ours = Snapshot(output, codepage)
        self.assertEqual(sorted(ours.folders), sorted(theirs.folders))
        for path in theirs.folders:
            with self.subTest(folder=path):
                self.assertEqual(len(ours.folders[path]), len(theirs.folders[path]))
                for a, b in zip(ours.folders[path], theirs.folders[path]):
                    # Unicode -> ANSI: the source's text as the code page the
                    # output declares for it can hold it; names in the code page
                    # the conversion was told.
                    # An object that declared no code page is given the one its
                    # strings are written in.
                    cp = (a.get("codepage") or codepage) if fold else None
                    added = (LABEL, 3) not in b.get("entries", {})
                    self.assertEqual(comparable(a, drop_label=fold or added), comparable(b, cp, drop_label=fold))

    def test_every_store_to_the_other_format(self):
        for path in stores():
            name = os.path.basename(path)
            with self.subTest(store=name):
                cp = oracle_lib.codepage_for(path)
                before = oracle_lib.sha256(path)
                with tempfile.TemporaryDirectory() as out_dir:
                    rc, out, log = convert(path, out_dir, codepage=cp)
                    self.assertEqual(oracle_lib.sha256(path), before, "the source changed")
                    self.assertEqual(rc, 0, log[-3000:])
                    self.check_output(out)
                    self.assertLessEqual(os.path.getsize(out), MAX_OUTPUT_BYTES.get(name, 1 << 40))
                    # Unicode -> ANSI keeps what the code page can hold.
                    self.compare(path, out, cp, not is_ansi(path))
                    # readpst exports the same mail. (readpst takes 8-bit text as code
                    # page 1252 and labels what it writes by the store's format, so only
                    # ANSI -> Unicode of Western stores can be compared byte for byte.)
                    if is_ansi(path) and cp == 1252:
                        self.assert_same_export(out, path)

    def test_round_trip_through_the_other_format(self):
        for path in stores():
            name = os.path.basename(path)
            with self.subTest(store=name):
                cp = oracle_lib.codepage_for(path)
                with tempfile.TemporaryDirectory() as d1, tempfile.TemporaryDirectory() as d2:
                    rc, mid, log = convert(path, d1, codepage=cp)
                    self.assertEqual(rc, 0, log[-3000:])
                    lossless = replaced_characters(log) == 0
                    rc, back, log = convert(mid, d2, to="ansi" if is_ansi(path) else "unicode", codepage=cp,
                                            sample=path)
                    self.assertEqual(rc, 0, log[-3000:])
                    self.check_output(back)
                    if lossless and cp == 1252:
                        self.assert_same_export(back, path)
                    self.compare(path, back, cp, not is_ansi(path))


if __name__ == "__main__":
    CLI, TESTDATA = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
