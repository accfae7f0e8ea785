#!/usr/bin/env python3
"""Salvage benchmark: damages copies of sample stores and counts the
messages each reader still carries. Driven by bench/salvage.sh.

Damage kinds (every offset lies past the first 4 KiB, the header's page):
  flip     one byte inverted
  rand64   64 random bytes
  zero512  a 512-byte sector zeroed (sector-aligned)
  zero8k   an 8 KiB run zeroed (sector-aligned)
  cut      the file cut at 70/80/90 % (seed 1/2/3)
Each (store, kind, seed) gives the same copy on every run.

Readers, each counted against its own count on the undamaged store:
  convert  `quillmar-cli convert`; its output's messages as pypff counts them
           (the walk below), and the output is checked with `quillmar-cli
           check` (unsound if it finds an error)
  readpst  `readpst -D -S`: one file per item, named by number
  pypff    walk of every folder from the root; a message counts when it
           opens and its subject can be asked for
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

KINDS = ["flip", "rand64", "zero512", "zero8k", "cut"]
TIMEOUT = 120
PASSWORDS = {  # the passwords of the protected samples (from their sources' names)
    "ansi-outlook97-passworded-294msgs.pst": "pass12345",
    "unicode-high-encryption.pst": "quickquick",
}

PYPFF_WALK = r"""
import sys, pypff
f = pypff.file(); f.open(sys.argv[1])
count = 0
def walk(folder, depth):
    global count
    if depth > 64: return
    try: n = folder.get_number_of_sub_messages()
    except Exception: n = 0
    for i in range(n):
        try:
            m = folder.get_sub_message(i); m.get_subject(); count += 1
        except Exception: pass
    try: k = folder.get_number_of_sub_folders()
    except Exception: k = 0
    for i in range(k):
        try: walk(folder.get_sub_folder(i), depth + 1)
        except Exception: pass
walk(f.get_root_folder(), 0)
print(count)
"""


def damage(src, dst, kind, seed):
    data = bytearray(open(src, "rb").read())
    rng = random.Random(f"{os.path.basename(src)}/{kind}/{seed}")
    low = 4096
    if kind == "flip":
        at = rng.randrange(low, len(data))
        data[at] ^= 0xFF
    elif kind == "rand64":
        at = rng.randrange(low, len(data) - 64)
        data[at:at + 64] = bytes(rng.randrange(256) for _ in range(64))
    elif kind == "zero512":
        at = rng.randrange(low // 512, len(data) // 512) * 512
        data[at:at + 512] = bytes(min(512, len(data) - at))
    elif kind == "zero8k":
        at = rng.randrange(low // 512, (len(data) - 8192) // 512) * 512
        data[at:at + 8192] = bytes(8192)
    elif kind == "cut":
        at = len(data) * (60 + 10 * seed) // 100
        del data[at:]
    open(dst, "wb").write(data)
    return at


def run(cmd, **kw):
    """(returncode or 'hang', stdout)."""
    try:
        p = subprocess.run(cmd, capture_output=True, timeout=TIMEOUT, **kw)
        return p.returncode, p.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        return "hang", ""


def count_convert(cli, path, work, password):
    out = os.path.join(work, "out")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    cmd = [cli, "convert", path, "-o", out]
    if password:
        pw = os.path.join(work, "pw")
        open(pw, "w").write(password + "\n")
        cmd += ["--password-file", pw]
    rc, text = run(cmd, stdin=subprocess.DEVNULL)
    if rc == "hang" or (isinstance(rc, int) and (rc < 0 or rc >= 128)):
        return 0, "hang" if rc == "hang" else "crash", False
    n = 0
    sound = True
    for f in os.listdir(out):
        if f.endswith(".pst"):
            crc, _ = run([cli, "check", "--errors-only", os.path.join(out, f)])
            sound = crc == 0
            counted, _ = count_pypff(os.path.join(out, f))
            n += counted
    return n, "", sound


def count_readpst(path, work):
    out = os.path.join(work, "rp")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    rc, _ = run(["readpst", "-D", "-S", "-q", "-o", out, path], stdin=subprocess.DEVNULL)
    if rc == "hang" or (isinstance(rc, int) and rc < 0):
        return 0, "hang" if rc == "hang" else "crash"
    n = sum(1 for _, _, files in os.walk(out) for f in files if f.isdigit())
    return n, ""


def count_pypff(path):
    rc, text = run([sys.executable, "-c", PYPFF_WALK, path])
    if rc == "hang" or (isinstance(rc, int) and rc < 0):
        return 0, "hang" if rc == "hang" else "crash"
    try:
        return int(text.strip().splitlines()[-1]), ""
    except (ValueError, IndexError):
        return 0, ""  # could not open the file at all


def main():
    cli, seeds, stores = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    work = tempfile.mkdtemp(prefix="salvage-bench-")
    rows, events = [], {"convert": [], "readpst": [], "pypff": []}
    unsound = 0
    try:
        for store in stores:
            name = os.path.basename(store)
            pw = PASSWORDS.get(name)
            # readpst's count of an undamaged store was seen to vary by one
            # between runs; its best of three is its baseline.
            base = {"convert": count_convert(cli, store, work, pw)[0],
                    "readpst": max(count_readpst(store, work)[0] for _ in range(3)),
                    "pypff": count_pypff(store)[0]}
            print(f"# {name}: undamaged convert {base['convert']}, readpst {base['readpst']}, "
                  f"pypff {base['pypff']}", file=sys.stderr)
            for kind in KINDS:
                for seed in range(1, seeds + 1):
                    copy = os.path.join(work, "copy.pst")
                    at = damage(store, copy, kind, seed)
                    c, c_event, sound = count_convert(cli, copy, work, pw)
                    r, r_event = count_readpst(copy, work)
                    p, p_event = count_pypff(copy)
                    for reader, ev in (("convert", c_event), ("readpst", r_event), ("pypff", p_event)):
                        if ev:
                            events[reader].append(f"{name} {kind} {seed}: {ev}")
                    if not sound:
                        unsound += 1
                    share = {k: (v / base[k] if base[k] else 1.0) for k, v in
                             (("convert", c), ("readpst", r), ("pypff", p))}
                    rows.append((name, kind, seed, at, c, r, p, share, sound))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("| store | damage | seed | offset | convert | readpst | pypff | convert ≥ better peer |")
    print("|---|---|---|---|---|---|---|---|")
    wins = 0
    for name, kind, seed, at, c, r, p, s, sound in rows:
        better = max(s["readpst"], s["pypff"])
        ok = s["convert"] >= better - 1e-9
        wins += ok
        flag = "" if sound else " (unsound)"
        print(f"| {name} | {kind} | {seed} | {at} | {c} ({s['convert']:.0%}){flag} | {r} ({s['readpst']:.0%}) "
              f"| {p} ({s['pypff']:.0%}) | {'yes' if ok else 'no'} |")
    n = len(rows)
    # A share above 100 % means deleted leftovers came back (their nodes were
    # found by scanning): they are not counted as mail carried.
    mean = {k: sum(min(row[7][k], 1.0) for row in rows) / n for k in ("convert", "readpst", "pypff")}
    better_mean = sum(min(max(row[7]["readpst"], row[7]["pypff"]), 1.0) for row in rows) / n
    print()
    print(f"copies: {n}; convert at least as good as the better peer on {wins} of {n}")
    print(f"mean share (each capped at 100 %): convert {mean['convert']:.1%}, readpst {mean['readpst']:.1%}, pypff {mean['pypff']:.1%}, "
          f"better peer per copy {better_mean:.1%}")
    for reader in ("convert", "readpst", "pypff"):
        crashes = sum(1 for e in events[reader] if e.endswith("crash"))
        hangs = sum(1 for e in events[reader] if e.endswith("hang"))
        print(f"{reader}: {crashes} crashes, {hangs} hangs" + (f", {unsound} unsound outputs" if reader == "convert" else ""))
        for e in events[reader]:
            print(f"  {e}")


if __name__ == "__main__":
    main()
