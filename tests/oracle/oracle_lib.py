"""Shared helpers for the oracle tests: what independent readers (pypff,
readpst) see in a store, in the shape `quillmar-cli ls` prints."""

import atexit
import hashlib
import os
import re
import shutil
import subprocess
import tempfile

# Stores whose 8-bit strings are Japanese (code page 932) rather than 1252.
CP932_STORES = {"ansi-contacts97-2002.pst", "ansi-cp932-japanese.pst"}


# Passwords of the protected samples (their provenance names in MANIFEST.md
# give them away). A converted store keeps its source's password.
SAMPLE_PASSWORDS = {
    "ansi-outlook97-passworded-294msgs.pst": "pass12345",
    "ansi-pstsdk-passworded-post.pst": "test",
    "unicode-pstsdk-passworded-posts.pst": "test",
    "unicode-javalibpst-passworded.pst": "testpassword",
    "unicode-high-encryption.pst": "quickquick",
    "unicode-no-encryption.pst": "quickquick",
}
_password_dir = []


def password_args(sample):
    """["--password-file", F] for a protected sample (by its file name), else []."""
    password = SAMPLE_PASSWORDS.get(os.path.basename(sample))
    if password is None:
        return []
    if not _password_dir:
        _password_dir.append(tempfile.mkdtemp(prefix="quillmar-pw-"))
        atexit.register(shutil.rmtree, _password_dir[0], True)
    path = os.path.join(_password_dir[0], os.path.basename(sample) + ".txt")
    with open(path, "w") as f:
        f.write(password + "\n")
    return ["--password-file", path]


def sha256(path):
    """The file's SHA-256, read in 1 MiB pieces."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def escape_component(name):
    """A folder name as `quillmar-cli ls` prints it in a path."""
    name = name.replace("\\", "\\\\").replace("/", "\\/")
    return re.sub(r"[\x00-\x1f\x7f]", lambda m: "\\x%02X" % ord(m.group()), name)


def codepage_for(path):
    return 932 if os.path.basename(path) in CP932_STORES else 1252


def pypff_folders(path, codepage):
    """{path: message count} for every folder below the root, as pypff reads it."""
    import pypff  # python3-pypff

    f = pypff.file()
    if codepage != 1252:
        f.set_ascii_codepage("windows-%d" % codepage)
    f.open(path)
    result = {}

    def walk(folder, prefix):
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            name = escape_component(sub.name or "")
            p = prefix + "/" + name if prefix else name
            result.setdefault(p, []).append(sub.number_of_sub_messages)
            walk(sub, p)

    walk(f.get_root_folder(), "")
    f.close()
    return result


def cli_ls(cli, path, codepage):
    """(exit code, {path: [(messages, fai)]}, stderr) from `quillmar-cli ls`."""
    proc = subprocess.run([cli, "ls", "--codepage", str(codepage)] + password_args(path) + [path],
                          capture_output=True, text=True, timeout=600, stdin=subprocess.DEVNULL)
    folders = {}
    for line in proc.stdout.splitlines():
        messages, fai, p = line.split("\t", 2)
        folders.setdefault(p, []).append((int(messages), int(fai)))
    return proc.returncode, folders, proc.stderr


def readpst_folders(path, codepage=1252):
    """{relative folder path: number of exported messages} from
    `readpst -D -r -S` (one directory per folder, one numbered file per item),
    plus readpst's own per-folder 'items skipped' counts by folder name.
    Every readpst run here has `-j 0`: its parallel jobs race (on the 4K OST
    sample it exited 6 or 11 in 2 of 60 runs, leaving files still being
    written), and an oracle must not fail by itself."""
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.run(["readpst", "-j", "0", "-D", "-r", "-S", "-o", out, path],
                              capture_output=True, timeout=600)
        stdout = proc.stdout.decode("utf-8", "replace")
        skipped = {}
        for m in re.finditer(r'^\s*"(.*)" - (\d+) items done, (\d+) items skipped\.$',
                             stdout, re.M):
            skipped[m.group(1)] = skipped.get(m.group(1), 0) + int(m.group(3))
        folders = {}
        for root, dirs, files in os.walk(out):
            rel = os.path.relpath(root, out)
            if rel == ".":
                continue
            items = [f for f in files if re.fullmatch(r"\d+", f)]
            folders[_readpst_name(rel, codepage)] = len(items)
        skipped = {_readpst_name(k, codepage): v for k, v in skipped.items()}
        return proc.returncode, folders, skipped


def _readpst_name(name, codepage):
    """readpst turns 8-bit names into UTF-8 as if they were code page 1252
    (bytes 0x80-0x9F it cannot map pass through); undo that for other code
    pages."""
    if codepage == 1252:
        return name
    raw = bytearray()
    for ch in name:
        if ord(ch) < 256:
            raw.append(ord(ch))
        else:
            raw += ch.encode("cp1252", "replace")
    return raw.decode("cp%d" % codepage, "replace")
