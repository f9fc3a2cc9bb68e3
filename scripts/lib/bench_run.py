"""Runs zt4patch on fresh copies of WORK/old, on one core and on all, and reports its
phases beside the floor measured in the same run on one core.

  bench_run.py WORK FLOOR_PROGRAM [BUILDER_PEAK_BYTES]

The phases are read off the program's own console output, timestamped as it arrives:
the status lines divide the run, and within the apply phase each entry's progress line
starts it; an entry that prints dots is an archive rebuild, any other a plain file. On
several cores entries are applied ahead and their lines written when their turn comes, so
that split tells when each entry was taken, not where the work went; the phase is whole.
"""
import os
import shutil
import subprocess
import sys
import time

work, floor_program = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
builder_peak = int(sys.argv[3]) if len(sys.argv) > 3 else None
target = os.path.join(work, "install")
mb = 1024 * 1024


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
one_core = ["taskset", "-c", "0"]


def run_update(prefix):
    """One whole run on a fresh copy: (phase seconds, total, peak bytes, exit status)."""
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(os.path.join(work, "old"), target, symlinks=True)
    subprocess.run(["sync"], check=False)
    start = time.monotonic()
    process = subprocess.Popen(prefix + [os.path.join(work, "program", "zt4patch")], cwd=target,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    process.stdin.write(b"\ny\n")
    process.stdin.close()
    events = []  # (time, bytes)
    while True:
        chunk = os.read(process.stdout.fileno(), 65536)
        now = time.monotonic()
        if not chunk:
            break
        events.append((now, chunk))
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    end = time.monotonic()

    phase_start = {}
    apply_entries = []  # [time, is_rebuild]
    current = None
    for t, chunk in events:
        for text, name in marks.items():
            if text in chunk:
                phase_start[name] = t
                current = name
        if current == "apply":
            for i, piece in enumerate(chunk.split(b"\r")):
                if i > 0 and piece[:1] in b" 0123456789" and piece[:1] and b"/" in piece[:9]:
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
    times["apply plain files"] = plain
    times["rebuild archives"] = rebuild
    return times, end - start, usage.ru_maxrss * 1024, process.returncode


def floor():
    output = subprocess.run(one_core + [floor_program, os.path.join(work, "old"),
                                        os.path.join(work, "new"), os.path.join(work, "scratch")],
                            capture_output=True, text=True, check=True).stdout
    parts = {}
    for line in output.splitlines():
        fields = line.split()
        parts[fields[0]] = float(fields[1])
    return parts


cores = len(os.sched_getaffinity(0))
single_times, single_total, single_peak, single_status = run_update(one_core)
all_times, all_total, all_peak, all_status = run_update([])
parts = floor()

print(f"\nexit status {single_status} (1 core), {all_status} ({cores} cores); old install"
      f" {old_bytes / mb:.1f} MiB, new {new_bytes / mb:.1f} MiB, largest file {largest / mb:.1f} MiB")
print(f"{'phase':<20}{'1 core s':>10}{'MB/s':>8}{f'{cores} cores s':>12}{'MB/s':>8}{'ratio':>7}")
rows = [("verify", "verify", old_bytes), ("backup", "backup", old_bytes),
        ("apply plain files", "apply plain files", new_bytes),
        ("rebuild archives", "rebuild archives", new_bytes),
        ("final check", "check", new_bytes)]
for label, key, size in rows + [("total", None, old_bytes + new_bytes)]:
    one = single_total if key is None else single_times[key]
    many = all_total if key is None else all_times[key]
    rate_one = size / mb / one if one > 0 else float("inf")
    rate_many = size / mb / many if many > 0 else float("inf")
    ratio = many / one if one > 0 else float("nan")
    print(f"{label:<20}{one:>10.2f}{rate_one:>8.1f}{many:>12.2f}{rate_many:>8.1f}{ratio:>7.2f}")
print(f"peak memory: {single_peak / mb:.1f} MiB on 1 core, {all_peak / mb:.1f} MiB on {cores} cores")
if builder_peak is not None:
    print(f"builder peak memory: {builder_peak / mb:.1f} MiB")
print(f"floor on 1 core: hash {parts['hash']:.2f} s, decode {parts['decode']:.2f} s,"
      f" write and flush {parts['write']:.2f} s, total {parts['floor']:.2f} s")
print(f"total / floor: {single_total / parts['floor']:.2f} on 1 core,"
      f" {all_total / parts['floor']:.2f} on {cores} cores")
