#!/usr/bin/env python3
"""How a session's streams lie in member cartridge files.

    bench/stream_layout.py CARTRIDGE.tap [CARTRIDGE.tap ...]

For each cartridge file it walks the records (the SIMH framing of the
cartridge format) and prints, for the data records of each session:

  spread   how far apart the streams' k-th records on this cartridge lie
           (the farthest minus the nearest, over the streams), as the
           median, 90th percentile and largest over k, in MiB. Streams
           written at the same pace lie close together (a few records);
           streams some of which were written ahead of the others lie far
           apart, and reading them back together reads the member file at
           as many places at once.
  runs     the stretches of one stream's records that lie back to back:
           how many, their median and largest length in records.

It reads the files as they are (no engine needed). Exit status 2 for a file
that is not a cartridge: a record frame whose two length words differ.
"""
import collections
import mmap
import os
import statistics
import struct
import sys

KIND_DATA = 3
HEADER = struct.Struct("<IBBHII")  # magic, kind, flags, stream, session, sequence
MAGIC = 0x52584F4D


def data_records(path):
    """(session, stream, offset) of each data record, in file order."""
    records = []
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:  # a blank cartridge
            return records
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    offset = 0
    while offset + 4 <= len(data):
        (length,) = struct.unpack_from("<I", data, offset)
        if length == 0:  # a tape mark
            offset += 4
            continue
        end = offset + 4 + length + (length & 1)
        if end + 4 > len(data) or struct.unpack_from("<I", data, end)[0] != length:
            raise ValueError(f"{path}: no record frame at offset {offset}")
        if length >= HEADER.size:
            magic, kind, _, stream, session, _ = HEADER.unpack_from(data, offset + 4)
            if magic == MAGIC and kind == KIND_DATA:
                records.append((session, stream, offset))
        offset = end + 4
    return records


def describe(path):
    by_session = collections.defaultdict(list)
    for session, stream, offset in data_records(path):
        by_session[session].append((stream, offset))
    for session, records in sorted(by_session.items()):
        per_stream = collections.defaultdict(list)
        for stream, offset in records:
            per_stream[stream].append(offset)
        depth = min(len(v) for v in per_stream.values())
        spreads = sorted(
            (max(v[k] for v in per_stream.values()) - min(v[k] for v in per_stream.values()))
            / 2**20
            for k in range(depth)
        )
        runs, length, previous = [], 0, None
        for stream, _ in records:
            if stream == previous:
                length += 1
            else:
                if length:
                    runs.append(length)
                length, previous = 1, stream
        runs.append(length)
        line = f"{path}: session {session}, {len(per_stream)} streams, {len(records)} records"
        if spreads:
            p90 = spreads[min(len(spreads) - 1, int(0.9 * len(spreads)))]
            line += (
                f"; spread MiB median {statistics.median(spreads):.2f}"
                f" p90 {p90:.2f} max {spreads[-1]:.2f}"
            )
        line += f"; runs {len(runs)}, median {statistics.median(runs):g}, longest {max(runs)}"
        print(line)


def main(argv):
    if len(argv) < 2:
        print("usage: " + __doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    for path in argv[1:]:
        try:
            describe(path)
        except (OSError, ValueError) as e:
            print(f"stream_layout: {e}", file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
