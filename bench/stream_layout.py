#!/usr/bin/env python3
"""How a session's streams lie in member cartridge files.

    bench/stream_layout.py [--fio-replay=DIR [--session=N]] CARTRIDGE.tap ...

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

--fio-replay=DIR also writes a fio job file, DIR/replay.fio, that makes the
reads a healthy restore of the session makes, with the same parallelism: one
job per stream, each reading its stream's data records in block order, one
read per record as the engine makes it (lead word, header, a whole block's
room and the trailing word, buffered), from iologs DIR/stream-N.log. Give
the cartridges in member order: a record stored on several (a mirror) is
read from the first that holds it, as the engine does. The session is the
only one on the cartridges, or the one --session=N names. `fio
DIR/replay.fio` then shows what the file system gives exactly those reads,
beside the engine's own restore of them.

It reads the files as they are (no engine needed). Exit status 2 for a file
that is not a cartridge (a record frame whose two length words differ) and
for bad arguments.
"""
import collections
import mmap
import os
import stat
import statistics
import struct
import sys

KIND_DATA = 3
HEADER = struct.Struct("<IBBHII")  # magic, kind, flags, stream, session, sequence
MAGIC = 0x52584F4D
# What the engine reads for a data record: lead word, 40-byte header, a
# whole block's room (65536 bytes) and the pad byte and trailing word.
READ_SPAN = 4 + 40 + 65536 + 5
# fio reads iolog lines with "%256s": longer paths do not replay.
FIO_PATH_MAX = 256


class ReportError(Exception):
    """Standard output took no more lines (closed early, or a full device)."""


def report(line):
    """Prints a line of the report, at once (a closed pipe shows here)."""
    try:
        print(line)
        sys.stdout.flush()
    except OSError as e:
        raise ReportError(e.strerror) from e


def data_records(path):
    """(session, stream, offset, sequence) of each data record, in file order."""
    records = []
    # A FIFO would block the open and a device read as a blank cartridge.
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{path}: not a regular file")
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
            magic, kind, _, stream, session, sequence = HEADER.unpack_from(data, offset + 4)
            if magic == MAGIC and kind == KIND_DATA:
                records.append((session, stream, offset, sequence))
        offset = end + 4
    return records


def describe(path, records):
    by_session = collections.defaultdict(list)
    for session, stream, offset, _ in records:
        by_session[session].append((stream, offset))
    for session, in_session in sorted(by_session.items()):
        per_stream = collections.defaultdict(list)
        for stream, offset in in_session:
            per_stream[stream].append(offset)
        depth = min(len(v) for v in per_stream.values())
        spreads = sorted(
            (max(v[k] for v in per_stream.values()) - min(v[k] for v in per_stream.values()))
            / 2**20
            for k in range(depth)
        )
        runs, length, previous = [], 0, None
        for stream, _ in in_session:
            if stream == previous:
                length += 1
            else:
                if length:
                    runs.append(length)
                length, previous = 1, stream
        runs.append(length)
        line = f"{path}: session {session}, {len(per_stream)} streams, {len(in_session)} records"
        if spreads:
            p90 = spreads[min(len(spreads) - 1, int(0.9 * len(spreads)))]
            line += (
                f"; spread MiB median {statistics.median(spreads):.2f}"
                f" p90 {p90:.2f} max {spreads[-1]:.2f}"
            )
        line += f"; runs {len(runs)}, median {statistics.median(runs):g}, longest {max(runs)}"
        report(line)


def write_text(path, text):
    """Writes a regular file (a FIFO or device in its place is refused, not
    waited on)."""
    if os.path.lexists(path) and not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{path}: not a regular file")
    # Without blocking, should a FIFO take the file's place after the check.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NONBLOCK, 0o644)
    with os.fdopen(fd, "w") as f:
        f.write(text)


def write_replay(directory, session, cartridges):
    """The fio job file and one iolog per stream (see the module's text).

    cartridges: (path, size, records) in member order. Returns the number of
    streams and of reads."""
    for path in [directory] + [cartridge[0] for cartridge in cartridges]:
        full = os.path.abspath(path)
        if len(full) > FIO_PATH_MAX or any(ch.isspace() or ch == ":" for ch in full):
            raise ValueError(f"{path}: fio cannot take this path (spaces, a colon or too long)")
    sessions = sorted({r[0] for _, _, records in cartridges for r in records})
    if session is None:
        if len(sessions) != 1:
            raise ValueError(
                f"the cartridges hold {len(sessions)} sessions; name one with --session=N")
        session = sessions[0]
    elif session not in sessions:
        raise ValueError(f"no data records of session {session} on the cartridges")
    reads = collections.defaultdict(dict)  # stream -> sequence -> (path, offset, length)
    for path, size, records in cartridges:
        full = os.path.abspath(path)
        for s, stream, offset, sequence in records:
            if s == session and sequence not in reads[stream]:
                reads[stream][sequence] = (full, offset, min(READ_SPAN, size - offset))
    os.makedirs(directory, exist_ok=True)
    job = ["[global]", "ioengine=psync", "direct=0", "thread", "replay_no_stall=1"]
    total = 0
    for stream in sorted(reads):
        plan = [reads[stream][k] for k in sorted(reads[stream])]
        files = sorted({p for p, _, _ in plan})
        log = os.path.abspath(os.path.join(directory, f"stream-{stream}.log"))
        lines = ["fio version 2 iolog"]
        lines += [f"{p} add" for p in files] + [f"{p} open" for p in files]
        lines += [f"{p} read {offset} {length}" for p, offset, length in plan]
        lines += [f"{p} close" for p in files]
        write_text(log, "\n".join(lines) + "\n")
        job += [f"[stream-{stream}]", f"read_iolog={log}"]
        total += len(plan)
    write_text(os.path.join(directory, "replay.fio"), "\n".join(job) + "\n")
    return len(reads), total


def main(argv):
    usage = "usage: " + __doc__.strip().splitlines()[2].strip()
    replay, session, paths = None, None, []
    for arg in argv[1:]:
        if arg.startswith("--fio-replay="):
            replay = arg.split("=", 1)[1]
            if not replay:
                print("stream_layout: --fio-replay takes a directory", file=sys.stderr)
                return 2
        elif arg.startswith("--session="):
            value = arg.split("=", 1)[1]
            if not (value.isascii() and value.isdigit()) or int(value) > 0xFFFFFFFF:
                print(f"stream_layout: --session takes a session number, not \"{value}\"",
                      file=sys.stderr)
                return 2
            session = int(value)
        elif arg.startswith("--"):
            print(f"stream_layout: unknown option {arg}", file=sys.stderr)
            return 2
        else:
            paths.append(arg)
    if not paths or (session is not None and replay is None):
        print(usage, file=sys.stderr)
        return 2
    cartridges = []
    try:
        for path in paths:
            records = data_records(path)
            describe(path, records)
            cartridges.append((path, os.path.getsize(path), records))
        if replay is not None:
            streams, reads = write_replay(replay, session, cartridges)
            report(f"fio replay: {streams} streams, {reads} reads in "
                   f"{os.path.join(replay, 'replay.fio')}")
    except (OSError, ValueError) as e:
        print(f"stream_layout: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    try:
        status = main(sys.argv)
    except ReportError as e:
        # Nothing more reaches standard output, not even the interpreter's
        # own flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        print(f"stream_layout: cannot write the report: {e}", file=sys.stderr)
        status = 1
    sys.exit(status)
