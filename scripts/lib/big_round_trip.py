"""The data file of scripts/big-round-trip and its next version, both sparse.

  big_round_trip.py OLD_FILE NEW_FILE

OLD_FILE must exist already at its full size (made sparse with truncate -s); its size S
places everything, so that S = 5 GiB gives:
  old  64 KiB of random bytes at 0.20 S (1 GiB) and at 0.90 S (4.5 GiB), zeros elsewhere
  new  the old file with 4 KiB of random bytes over 0.78 S (3.9 GiB), 1 MiB of random
       bytes inserted at 0.82 S (4.1 GiB; everything after it moves by 1 MiB) and 4 KiB of
       random bytes over 0.92 S of the new file (4.6 GiB)
The bytes are deterministic (a fixed seed). NEW_FILE is written by streaming OLD_FILE a
MiB at a time, a piece of zeros skipped rather than written, so it stays sparse and the
memory small. Prints the layout, one line per change.
"""
import os
import random
import sys

KIB = 1 << 10
MIB = 1 << 20
GIB = 1 << 30
PIECE = MIB
ZEROS = bytes(PIECE)


def shown(offset):
    return f"{offset:,} ({offset / GIB:.3f} GiB)"


def overwrite(path, offset, data):
    with open(path, "r+b") as out:
        out.seek(offset)
        out.write(data)


def copy_range(source, out, length):
    """Copies `length` bytes from the source's position to the output's, seeking over
    pieces of zeros."""
    while length > 0:
        piece = source.read(min(PIECE, length))
        if not piece:
            sys.exit("big_round_trip.py: the old file ended early")
        if piece == ZEROS[:len(piece)]:
            out.seek(len(piece), os.SEEK_CUR)
        else:
            out.write(piece)
        length -= len(piece)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    old_path, new_path = sys.argv[1], sys.argv[2]
    size = os.path.getsize(old_path)
    rng = random.Random(20260405)

    old_data = [(size * 20 // 100, rng.randbytes(64 * KIB)),
                (size * 90 // 100, rng.randbytes(64 * KIB))]
    for offset, data in old_data:
        overwrite(old_path, offset, data)
        print(f"old: {len(data) // KIB} KiB of random bytes at {shown(offset)}")

    inserted_at = size * 82 // 100
    inserted = rng.randbytes(MIB)
    new_size = size + len(inserted)
    with open(old_path, "rb") as source, open(new_path, "wb") as out:
        copy_range(source, out, inserted_at)
        out.write(inserted)
        copy_range(source, out, size - inserted_at)
        out.truncate(new_size)
    print(f"new: {len(inserted) // KIB} KiB of random bytes inserted at {shown(inserted_at)}")

    # The overwrites: one before the insertion (same place in both files), one after it,
    # placed in the new file.
    for offset in (size * 78 // 100, size * 92 // 100):
        data = rng.randbytes(4 * KIB)
        overwrite(new_path, offset, data)
        print(f"new: {len(data) // KIB} KiB of random bytes over {shown(offset)}")
    if os.path.getsize(new_path) != new_size:
        sys.exit("big_round_trip.py: the new file has the wrong size")
    print(f"sizes: old {size:,} bytes, new {new_size:,} bytes")


main()
