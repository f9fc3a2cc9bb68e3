"""Runs zt4patch on a fresh copy of WORK/old and reports its phases against the floor.

The phases are read off the program's own console output, timestamped as it arrives:
the status lines divide the run, and within the apply phase each entry's progress line
starts it; an entry that prints dots is an archive rebuild, any other a plain file.
"""
import os
import resource
import shutil
import subprocess
import sys
import time

work, floor_program = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
target = os.path.join(work, "install")
shutil.rmtree(target, ignore_errors=True)
shutil.copytree(os.path.join(work, "old"), target, symlinks=True)

def tree_bytes(folder):
    total = 0
    for base, _, files in os.walk(folder):
        total += sum(os.path.getsize(os.path.join(base, f)) for f in files)
    return total

old_bytes = tree_bytes(os.path.join(work, "old"))
new_bytes = tree_bytes(os.path.join(work, "new"))
largest = max(os.path.getsize(os.path.join(b, f))
              for d in ("old", "new") for b, _, fs in os.walk(os.path.join(work, d)) for f in fs)

# Status lines 2..5 (UTF-8 on Linux) mark the phases.
marks = {
    "アップデート対象のファイルを検証中...".encode(): "verify",
    "ファイルのバックアップを作成しています...".encode(): "backup",
    "ファイルにパッチを適用しています...".encode(): "apply",
    "更新後のファイルをチェック中...".encode(): "check",
}

start = time.monotonic()
process = subprocess.Popen([os.path.join(work, "program", "zt4patch")], cwd=target,
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
process.stdin.write(b"\ny\n")
process.stdin.close()
events = []  # (time, bytes)
buffer = b""
while True:
    chunk = os.read(process.stdout.fileno(), 65536)
    now = time.monotonic()
    if not chunk:
        break
    events.append((now, chunk))
status = process.wait()
end = time.monotonic()
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024

# Phase boundaries from the status lines; entry boundaries inside the apply phase.
phase_start = {}
apply_entries = []  # (time, is_rebuild)
current = None
for t, chunk in events:
    for text, name in marks.items():
        if text in chunk:
            phase_start[name] = t
            current = name
    if current == "apply":
        pieces = chunk.split(b"\r")
        for i, piece in enumerate(pieces):
            if i > 0 and piece[:1] in (b" ", b"0", b"1", b"2", b"3", b"4", b"5", b"6", b"7",
                                       b"8", b"9") and b"/" in piece[:9]:
                apply_entries.append([t, False])
            if b"." in piece and apply_entries and not piece.startswith(b">>"):
                apply_entries[-1][1] = True

order = ["verify", "backup", "apply", "check"]
times = {}
for i, name in enumerate(order):
    begin = phase_start.get(name, start)
    finish = phase_start.get(order[i + 1], end) if i + 1 < len(order) else end
    times[name] = finish - begin
plain = rebuild = 0.0
apply_end = phase_start.get("check", end)
for i, (t, is_rebuild) in enumerate(apply_entries):
    finish = apply_entries[i + 1][0] if i + 1 < len(apply_entries) else apply_end
    if is_rebuild:
        rebuild += finish - t
    else:
        plain += finish - t
total = end - start

floor = {}
output = subprocess.run([floor_program, os.path.join(work, "old"), os.path.join(work, "new"),
                         os.path.join(work, "scratch")], capture_output=True, text=True,
                        check=True).stdout
for line in output.splitlines():
    parts = line.split()
    floor[parts[0]] = float(parts[1])

mb = 1024 * 1024
print(f"\nexit status {status}; old install {old_bytes / mb:.1f} MiB, new {new_bytes / mb:.1f} MiB,"
      f" largest file {largest / mb:.1f} MiB")
print(f"{'phase':<22}{'seconds':>9}{'MB/s':>9}")
rows = [("verify", times["verify"], old_bytes), ("backup", times["backup"], old_bytes),
        ("apply plain files", plain, new_bytes), ("rebuild archives", rebuild, new_bytes),
        ("final check", times["check"], new_bytes), ("total", total, old_bytes + new_bytes)]
for name, seconds, size in rows:
    rate = size / mb / seconds if seconds > 0 else float("inf")
    print(f"{name:<22}{seconds:>9.2f}{rate:>9.1f}")
print(f"peak memory {peak / mb:.1f} MiB (limit 3 x largest + 64 = {(3 * largest) / mb + 64:.1f} MiB)")
print(f"floor: hash {floor['hash']:.2f} s, decode {floor['decode']:.2f} s, write {floor['write']:.2f} s,"
      f" total {floor['floor']:.2f} s")
print(f"total / floor = {total / floor['floor']:.2f}")
