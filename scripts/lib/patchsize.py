"""The body of scripts/patchsize: one OLD -> NEW pair, every method measured in one run.

    patchsize.py plain|archived|both OLD NEW      OLD, NEW: a folder or npm NAME@VERSION
    patchsize.py --changed OLD NEW LIST REMOVED   the changed-files method's own listing

Every command runs under /usr/bin/time for its peak RSS; wall time is taken here.
"""
import filecmp
import glob
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WORK = os.path.join(ROOT, "build", "patchsize")
TOOLS = os.path.join(ROOT, "build", "linux", "tools")
ZT4 = os.path.join(TOOLS, "zt4", "zt4")
MKPATCH = os.path.join(TOOLS, "zt4mkpatch", "zt4mkpatch")
APPLIER = os.path.join(TOOLS, "zt4patch", "zt4patch")
MIB = 1 << 20
DONE = "ファイルの更新が完了しました"  # the completion box: the exit status is 0 on every path
TAR = ["tar", "--sort=name", "--owner=0", "--group=0", "--numeric-owner", "--mtime=@0"]


class Failed(Exception):
    pass


def files(tree):
    """{relative path: path} of every file (empty folders play no part)."""
    found = {}
    for base, _, names in os.walk(tree):
        for name in names:
            path = os.path.join(base, name)
            found[os.path.relpath(path, tree)] = path
    return found


def tree_bytes(tree):
    return sum(os.path.getsize(p) for p in files(tree).values())


def same(a, b):
    return filecmp.cmp(a, b, shallow=False)


def compare(got, want):
    g, w = files(got), files(want)
    missing, extra = len(w.keys() - g.keys()), len(g.keys() - w.keys())
    differ = sum(1 for r in w.keys() & g.keys() if not same(g[r], w[r]))
    if not (missing or extra or differ):
        return "yes"
    return f"NO: {differ} differ, {missing} missing, {extra} extra"


def run(command, cwd=None, stdin=None):
    """(seconds, peak RSS in MiB, completed process); a str runs under bash."""
    rss = os.path.join(WORK, "rss")
    if isinstance(command, str):
        command = ["bash", "-c", "set -eo pipefail; " + command]
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss] + command, cwd=cwd,
                          input=stdin, capture_output=True)
    seconds = time.monotonic() - start
    with open(rss) as f:
        kib = int(f.read().split()[-1])  # after "Command exited with non-zero status N"
    return seconds, kib / 1024, done


def said(done):
    """The first line of a run's standard error: the tools put the error there."""
    lines = done.stderr.decode(errors="replace").strip().splitlines()
    return lines[0] if lines else f"exit status {done.returncode}"


def checked(command, **kwargs):
    seconds, mib, done = run(command, **kwargs)
    if done.returncode:
        raise Failed(said(done))
    return seconds, mib


def fetch(package, dest):
    """A folder is copied; NAME@VERSION is fetched with npm pack and unpacked."""
    if os.path.isdir(package):
        shutil.copytree(package, dest, symlinks=True)
        return
    got = dest + ".npm"
    os.makedirs(got)
    done = subprocess.run(["npm", "pack", "--silent", "--pack-destination", got, package],
                          capture_output=True, text=True)
    tarballs = glob.glob(os.path.join(got, "*.tgz"))
    if done.returncode or len(tarballs) != 1:
        sys.exit(f"npm pack {package} failed: {done.stderr.strip()}")
    subprocess.run(["tar", "-xzf", tarballs[0], "-C", got, "--no-same-owner"], check=True)
    subprocess.run(["chmod", "-R", "u+rwX", got], check=True)
    top = [e.path for e in os.scandir(got) if e.is_dir()]  # "package/", as a rule
    shutil.move(top[0], dest)


def archive(trees):
    """Packs each top-level folder of at least 1 MiB (else the largest) into FOLDER.zt4.
    Chosen over both trees at once, so OLD and NEW keep the same layout."""
    sizes = {}
    for tree in trees:
        for e in os.scandir(tree):
            if e.is_dir(follow_symlinks=False):
                sizes[e.name] = max(sizes.get(e.name, 0), tree_bytes(e.path))
    chosen = sorted(n for n, s in sizes.items() if s >= MIB)
    if not chosen and sizes:
        chosen = [max(sizes, key=sizes.get)]
    for tree in trees:
        for name in chosen:
            folder = os.path.join(tree, name)
            if os.path.isdir(folder):
                subprocess.run([ZT4, "create", folder + ".zt4", folder], check=True,
                               stdout=subprocess.DEVNULL)
                shutil.rmtree(folder)
    return chosen


# How our patches make their contents, by row: the "methods:" line of zt4 patch-info.
METHOD_LINES = {}


def zt4(options, name):
    def method(old, new, d):
        patch = os.path.join(d, "patch.zt4")
        seconds, mib, done = run([MKPATCH, *options, old, new, patch])
        if done.returncode and b"unknown option" in done.stderr:
            return None  # a binary without the option
        if done.returncode:
            raise Failed(said(done))
        info = subprocess.run([ZT4, "patch-info", patch], capture_output=True)
        for line in info.stdout.decode(errors="replace").splitlines():
            if line.startswith("methods:"):
                METHOD_LINES[name] = line
        program, install = os.path.join(d, "program"), os.path.join(d, "install")
        os.makedirs(program)
        shutil.copy2(APPLIER, program)
        shutil.copy2(patch, program)
        shutil.copytree(old, install, symlinks=True)
        a_seconds, a_mib, applied = run([os.path.join(program, "zt4patch")], cwd=install,
                                        stdin=b"\ny\n")
        text = applied.stderr.decode(errors="replace")
        if applied.returncode or DONE not in text:
            result = f"FAILED: {text.strip().splitlines()[-1:] or applied.returncode}"
        else:
            backup = os.path.join(d, "backup")
            os.rename(os.path.join(install, "BACKUP_FILES"), backup)
            result = compare(install, new)
            if compare(backup, old) != "yes":
                result += " (BACKUP_FILES != OLD)"
        return os.path.getsize(patch), seconds, mib, a_seconds, a_mib, result
    return method


def tar_tool(build, apply):
    """A delta between the sorted tars; apply gives out.tar, unpacked for the check."""
    def method(old, new, d):
        names = {"old": os.path.join(d, "..", "old.tar"), "new": os.path.join(d, "..", "new.tar"),
                 "patch": os.path.join(d, "patch"), "out": os.path.join(d, "out.tar")}
        b = checked([a.format(**names) for a in build(names)])
        a = checked([x.format(**names) for x in apply])
        result = os.path.join(d, "result")
        os.makedirs(result)
        subprocess.run(["tar", "-xf", names["out"], "-C", result], check=True)
        return (os.path.getsize(names["patch"]),) + b + a + (compare(result, new),)
    return method


def xdelta_build(names):
    # The source window must hold all of old.tar (default 64 MiB) to see every match.
    window = 1 << max(26, (os.path.getsize(names["old"]) - 1).bit_length())
    return ["xdelta3", "-9", "-e", "-f", "-B", str(min(window, 1 << 31)),
            "-s", "{old}", "{new}", "{patch}"]


def changed_files(old, new, d):
    """The files of NEW not byte-identical at their path in OLD, as a tar.zst; the names
    of OLD that NEW lacks go beside it (counted in the size), for the applier to delete."""
    patch, removed = os.path.join(d, "patch.tar.zst"), os.path.join(d, "removed")
    listing = os.path.join(d, "list")
    q = lambda p: "'" + p.replace("'", "'\\''") + "'"
    b = checked(f"python3 {q(__file__)} --changed {q(old)} {q(new)} {q(listing)} {q(removed)}; "
                f"{' '.join(TAR)} -C {q(new)} --null --verbatim-files-from -T {q(listing)} -cf - "
                f"| zstd -q -19 -o {q(patch)}")
    install = os.path.join(d, "install")
    shutil.copytree(old, install, symlinks=True)  # the fresh copy, as zt4patch gets one
    a = checked(f"zstd -q -d -c {q(patch)} | tar -xf - && xargs -0 -r rm -f -- < {q(removed)}",
                cwd=install)
    size = os.path.getsize(patch) + os.path.getsize(removed)
    return (size,) + b + a + (compare(install, new),)


METHODS = [
    ("zt4mkpatch (compact)", zt4([], "zt4mkpatch (compact)")),
    ("zt4mkpatch --strict", zt4(["--strict"], "zt4mkpatch --strict")),
    ("xdelta3 -9 (tar)", tar_tool(xdelta_build, ["xdelta3", "-d", "-f", "-s", "{old}",
                                                 "{patch}", "{out}"])),
    ("bsdiff (tar)", tar_tool(lambda n: ["bsdiff", "{old}", "{new}", "{patch}"],
                              ["bspatch", "{old}", "{out}", "{patch}"])),
    ("zstd -19 --patch-from (tar)",
     tar_tool(lambda n: ["zstd", "-q", "-f", "-19", "--long=31", "--patch-from={old}",
                         "{new}", "-o", "{patch}"],
              ["zstd", "-q", "-f", "-d", "--long=31", "--patch-from={old}", "{patch}",
               "-o", "{out}"])),
    ("changed files tar.zst", changed_files),
]


def measure(kind, labels):
    base = os.path.join(WORK, kind)
    shutil.rmtree(base, ignore_errors=True)
    old, new = os.path.join(base, "old"), os.path.join(base, "new")
    for side, tree in (("old", old), ("new", new)):
        shutil.copytree(os.path.join(WORK, "src", side), tree, symlinks=True)
    note = "files as they are"
    if kind == "archived":
        chosen = archive([old, new])
        note = "folders packed as .zt4: " + (", ".join(n + "/" for n in chosen) or "none")
    for side, tree in (("old", old), ("new", new)):
        subprocess.run(TAR + ["-C", tree, "-cf", os.path.join(base, side + ".tar"), "."],
                       check=True)
    rows = []
    METHOD_LINES.clear()
    for name, method in METHODS:
        d = os.path.join(base, name.split()[0].strip("-") + str(len(rows)))
        os.makedirs(d)
        try:
            rows.append((name, method(old, new, d)))
        except (Failed, subprocess.CalledProcessError) as e:
            rows.append((name, f"failed: {e}"))
    print(f"\n== {labels[0]} -> {labels[1]}, {kind} ({note})")
    for side, tree in (("OLD", old), ("NEW", new)):
        print(f"{side}: {len(files(tree))} files, {tree_bytes(tree):,} bytes")
    reference = dict(rows).get("zstd -19 --patch-from (tar)")
    reference = reference[0] if isinstance(reference, tuple) else None
    head = ("method", "patch bytes", "vs zstd", "build s", "build MiB", "apply s", "apply MiB")
    print(f"{head[0]:<28}" + "".join(f"{h:>12}" for h in head[1:]) + "  equals NEW")
    for name, r in rows:
        if r is None or isinstance(r, str):
            print(f"{name:<28}" + "".join(f"{'n/a':>12}" for _ in head[1:]) + f"  {r or 'n/a'}")
            continue
        ratio = f"{r[0] / reference:.2f}" if reference else "n/a"
        print(f"{name:<28}{r[0]:>12,}{ratio:>12}{r[1]:>12.2f}{r[2]:>12.1f}{r[3]:>12.2f}"
              f"{r[4]:>12.1f}  {r[5]}")
    for name, line in METHOD_LINES.items():
        print(f"{name}: {line}")
    print("equals NEW: every file's name and bytes (empty folders ignored); the zt4patch rows"
          " also check BACKUP_FILES against OLD.\nTimes of the tar rows leave out making"
          " old.tar and new.tar and unpacking the result; apply rows start from a fresh copy"
          " of OLD (not timed).\nThe changed-files size counts its list of removed names.")


def main():
    if sys.argv[1] == "--changed":
        old, new, listing, removed = sys.argv[2:6]
        o, n = files(old), files(new)
        with open(listing, "wb") as f:
            f.writelines(os.fsencode(r) + b"\0" for r in sorted(n)
                         if r not in o or not same(o[r], n[r]))
        with open(removed, "wb") as f:
            f.writelines(os.fsencode(r) + b"\0" for r in sorted(o.keys() - n.keys()))
        return
    kind, labels = sys.argv[1], sys.argv[2:4]
    shutil.rmtree(os.path.join(WORK, "src"), ignore_errors=True)
    os.makedirs(os.path.join(WORK, "src"))
    for side, package in zip(("old", "new"), labels):
        fetch(package, os.path.join(WORK, "src", side))
    for k in (["plain", "archived"] if kind == "both" else [kind]):
        measure(k, labels)


if __name__ == "__main__":
    main()
