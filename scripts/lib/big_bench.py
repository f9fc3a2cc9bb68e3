"""One big file changed three ways, patched by zt4 (default form) beside xdelta3 -9 and
zstd -19 --long=31 --patch-from in the same run: patch bytes, build and apply time and
peak memory, and whether the applied file is the new one.

  big_bench.py WORK SIZE_MIB ZT4MKPATCH ZT4PATCH

BIG_BENCH_PEERS (default "xdelta3,zstd") names the general tools to run beside ours.
The floor row is what any applier must do at least, on one core: hash every old and new
byte once (SHA-1), write every new byte once and flush it.

Scenarios (the old file: alternating MiB of text-like lines and random bytes):
  edit-insert-delete  6 bytes edited at 5 MiB, 1 MiB of random bytes inserted in the
                      middle, half a MiB deleted 8 MiB before the end
  reordered           the 64 MiB blocks (or eighths, when smaller) in another order, and
                      three 4-byte edits
The new bytes that no tool can avoid are printed beside each scenario.
"""
import os
import random
import shutil
import subprocess
import sys
import time

work, size_mib = os.path.abspath(sys.argv[1]), int(sys.argv[2])
mkpatch, applier = os.path.abspath(sys.argv[3]), os.path.abspath(sys.argv[4])
mib = 1 << 20


def old_content(rng, size):
    pieces = []
    total = 0
    index = 0
    while total < size:
        if index % 2 == 0:
            lines = []
            length = 0
            while length < mib:
                line = "line %d of the data file, with its words\n" % rng.randrange(100000)
                lines.append(line)
                length += len(line)
            piece = "".join(lines).encode()[:mib]
        else:
            piece = rng.randbytes(mib)
        pieces.append(piece)
        total += len(piece)
        index += 1
    return b"".join(pieces)[:size]


def scenarios(size):
    rng = random.Random(2026)
    old = old_content(rng, size)
    changed = bytearray(old)
    changed[5 * mib:5 * mib + 6] = b"EDITED"
    inserted = rng.randbytes(mib)
    half = len(changed) // 2
    changed = changed[:half] + inserted + changed[half:]
    cut = len(changed) - 8 * mib
    changed = changed[:cut] + changed[cut + mib // 2:]
    yield "edit-insert-delete", old, bytes(changed), mib + 6
    block = min(64 * mib, size // 8)
    blocks = [old[i:i + block] for i in range(0, len(old), block)]
    order = list(range(len(blocks)))
    rng.shuffle(order)
    moved = bytearray(b"".join(blocks[i] for i in order))
    for at in (len(moved) // 7, len(moved) // 3, len(moved) * 5 // 6):
        moved[at:at + 4] = b"WXYZ"
    yield "reordered", old, bytes(moved), 12


def measured(command, cwd=None, stdin=None):
    """(seconds, peak bytes, exit status) of one command. The peak is GNU time's: a child
    forked from this process would count the contents it holds."""
    report = os.path.join(work, "time.txt")
    start = time.monotonic()
    process = subprocess.Popen(["/usr/bin/time", "-o", report, "-f", "%M"] + command, cwd=cwd,
                               stdin=subprocess.PIPE if stdin else None,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if stdin:
        process.stdin.write(stdin)
        process.stdin.close()
    status = process.wait()
    seconds = time.monotonic() - start
    with open(report) as lines:
        peak = int(lines.read().split()[-1]) * 1024
    return seconds, peak, status


def floor(old_file, new_file):
    """Seconds to hash both files and write and flush the new one, on one core."""
    script = ("import hashlib, os, sys\n"
              "for path in sys.argv[1:3]:\n"
              "    h = hashlib.sha1()\n"
              "    with open(path, 'rb') as f:\n"
              "        while piece := f.read(1 << 22): h.update(piece)\n"
              "with open(sys.argv[2], 'rb') as f, open(sys.argv[3], 'wb') as out:\n"
              "    while piece := f.read(1 << 22): out.write(piece)\n"
              "    out.flush(); os.fsync(out.fileno())\n")
    out = os.path.join(work, "floor.out")
    seconds, _, _ = measured(["taskset", "-c", "0", sys.executable, "-c", script, old_file,
                              new_file, out])
    os.remove(out)
    return seconds


def same(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def run(name, old, new, unavoidable):
    folder = os.path.join(work, name)
    shutil.rmtree(folder, ignore_errors=True)
    for side, content in (("old", old), ("new", new)):
        os.makedirs(os.path.join(folder, side))
        with open(os.path.join(folder, side, "big.bin"), "wb") as out:
            out.write(content)
    old_file = os.path.join(folder, "old", "big.bin")
    new_file = os.path.join(folder, "new", "big.bin")
    rows = []
    sizes = (os.path.getsize(old_file), os.path.getsize(new_file))

    patch = os.path.join(folder, "patch.zt4")
    build = measured([mkpatch, os.path.join(folder, "old"), os.path.join(folder, "new"), patch])
    applies = []
    for label, prefix in (("1 core", ["taskset", "-c", "0"]), ("all cores", [])):
        install = os.path.join(folder, "install")
        program = os.path.join(folder, "program")
        shutil.rmtree(install, ignore_errors=True)
        shutil.copytree(os.path.join(folder, "old"), install)
        os.makedirs(program, exist_ok=True)
        shutil.copy(applier, program)
        shutil.copy(patch, program)
        subprocess.run(["sync"], check=False)
        result = measured(prefix + [os.path.join(program, os.path.basename(applier))], cwd=install,
                          stdin=b"\ny\n")
        applies.append((label, result, same(os.path.join(install, "big.bin"), new_file)))
    rows.append(("zt4mkpatch (default)", os.path.getsize(patch), build, applies))

    peers = os.environ.get("BIG_BENCH_PEERS", "xdelta3,zstd").split(",")
    if "xdelta3" in peers:
        delta = os.path.join(folder, "patch.xd3")
        out = os.path.join(folder, "xd3.out")
        build = measured(["xdelta3", "-9", "-f", "-e", "-s", old_file, new_file, delta])
        result = measured(["xdelta3", "-f", "-d", "-s", old_file, delta, out])
        rows.append(("xdelta3 -9", os.path.getsize(delta), build,
                     [("1 process", result, same(out, new_file))]))

    if "zstd" in peers:
        delta = os.path.join(folder, "patch.zst")
        out = os.path.join(folder, "zst.out")
        build = measured(["zstd", "-q", "-f", "-19", "--long=31", "--patch-from=" + old_file,
                          new_file, "-o", delta])
        result = measured(["zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + old_file,
                           delta, "-o", out])
        rows.append(("zstd -19 --long=31", os.path.getsize(delta), build,
                     [("1 process", result, same(out, new_file))]))
    floor_seconds = floor(old_file, new_file)

    print(f"\n{name}: {sizes[0]} -> {sizes[1]} bytes, {unavoidable} bytes new")
    print(f"{'tool':<22}{'patch bytes':>14}{'x new':>13}{'build s':>9}{'peak MiB':>10}   apply")
    for tool, patch_bytes, (seconds, peak, status), applied in rows:
        applied_text = "; ".join(
            f"{label} {s:.2f} s {p / mib:.0f} MiB{'' if ok and st == 0 else ' WRONG'}"
            for label, (s, p, st), ok in applied)
        print(f"{tool:<22}{patch_bytes:>14,}{patch_bytes / unavoidable:>13.2f}{seconds:>9.2f}"
              f"{peak / mib:>10.0f}   {applied_text}{'' if status == 0 else ' (build failed)'}")
    print(f"{'single-core floor':<22}{'':>14}{'':>13}{'':>9}{'':>10}   {floor_seconds:.2f} s")
    shutil.rmtree(folder, ignore_errors=True)


os.makedirs(work, exist_ok=True)
for scenario in scenarios(size_mib * mib):
    run(*scenario)
