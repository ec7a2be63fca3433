"""The figures of tavo.StreamReader (9) and `tavo record` (10), each against
a reference measured in the same run. python_figures.py calls them with its
Suite (the build, the loaded module, the bench_refs references).

The throughput figures read finite streams whose every chunk must arrive:
the reader's bounds are lifted (max_buffered_bytes 2**62, max_queue_elements
2**31 - 1) so that it does the same work as its reference, and the run
fails if anything was dropped.
"""

import array
import contextlib
import io
import os
import subprocess
import sys
import threading
import time

from report import emit, interleaved, median

UNBOUNDED = {"max_queue_elements": 2**31 - 1, "max_buffered_bytes": 2**62}
MIB = 2**20


def reader_seconds(suite, chunk, chunks, pull):
    import tavo

    device = suite.sim.create_device(f"sim0:chunks={chunks}")
    start = time.perf_counter()
    with tavo.StreamReader(device, 0, chunk_size=chunk, **UNBOUNDED) as reader:
        pull(reader)
        seconds = time.perf_counter() - start
        if reader.stats.bytes != chunk * chunks or reader.stats.dropped:
            raise RuntimeError(f"the reader lost data: {reader.stats}")
    return seconds


def iterate(reader):
    for _ in reader:
        pass


def stream_reader(suite, total=2**30):
    """Iteration against the simulator's own production (figure 3's (a));
    readinto a reused buffer against a callback that copies each chunk into
    one; both also against the plain callback stream."""
    def read_into(chunk):
        buffer = bytearray(chunk)

        def pull(reader):
            while reader.readinto(buffer):
                pass
        return pull

    def copying_callback(chunk, chunks):
        target = memoryview(bytearray(chunk))

        def copy(buffer):
            target[:] = buffer
        return suite.callback_stream_seconds(chunk, chunks, copy)

    for chunk, label in ((2**16, "64K"), (2**20, "1M")):
        chunks = total // chunk
        produced, plain, copying, iterated, read = interleaved(
            lambda: total / suite.refs.sim_production(suite.sim_path, chunk, chunks),
            lambda: total / suite.stream_seconds(chunk, chunks),
            lambda: total / copying_callback(chunk, chunks),
            lambda: total / reader_seconds(suite, chunk, chunks, iterate),
            lambda: total / reader_seconds(suite, chunk, chunks, read_into(chunk)), reps=7)
        emit(f"9 StreamReader iteration MiB/s ({label})", iterated / MIB, "(a) sim production, no queue",
             produced / MIB, "MiB/s", ">=0.9")
        emit(f"9 StreamReader iteration MiB/s ({label})", iterated / MIB, "plain callback stream", plain / MIB, "MiB/s")
        emit(f"9 StreamReader.readinto MiB/s ({label})", read / MIB, "callback copying into a buffer",
             copying / MIB, "MiB/s", ">=1.0")
        emit(f"9 StreamReader.readinto MiB/s ({label})", read / MIB, "plain callback stream", plain / MIB, "MiB/s")


def reader_events(suite, events=1_000_000):
    """64-byte events pulled by iteration against the callback stream's."""
    pulled, called = interleaved(lambda: events / reader_seconds(suite, 64, events, iterate),
                                 lambda: events / suite.stream_seconds(64, events), reps=5)
    emit("9 StreamReader events/s (64 B)", pulled, "callback stream events/s", called, "ev/s", ">=4")


def idle_reader(suite, seconds=2.0):
    """A thread blocked in iteration on a stream of one chunk a second: the
    processor time of that thread (from /proc), and of the whole process
    above what it takes without the stream (which adds the simulator's own
    pacing thread, waking every 2 ms)."""
    import tavo

    def thread_seconds(tid):
        with open(f"/proc/self/task/{tid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime

    def share(tid=None):
        cpu = thread_seconds(tid) if tid else time.process_time()
        wall = time.perf_counter()
        time.sleep(seconds)
        used = (thread_seconds(tid) if tid else time.process_time()) - cpu
        return used / (time.perf_counter() - wall)

    def read_until_closed(reader, started):
        started.append(threading.get_native_id())
        with contextlib.suppress(ValueError):  # closed at the end of the figure
            iterate(reader)

    baseline = median([share() for _ in range(3)])
    reader = tavo.StreamReader(suite.sim.create_device("sim0:rate=1"), 0, chunk_size=64)
    started = []
    thread = threading.Thread(target=read_until_closed, args=(reader, started), daemon=True)
    thread.start()
    time.sleep(0.2)
    own = median([share(started[0]) for _ in range(3)])
    process = median([share() for _ in range(3)])
    reader.close()
    thread.join(5)
    emit("9 idle reader CPU, its thread", own, "one core", 1.0, "cores", "<=0.02")
    emit("9 idle reader CPU, whole process", max(process - baseline, 0.0), "one core", 1.0, "cores")


def catch_up(suite):
    """A reader that pauses 1 s on a device paced past what its bounds hold
    (rate=100000, 4 KiB chunks) and then iterates for 2 s: one Overflow for
    the pause, and every chunk after it (checked against the counter
    pattern: chunks missing without an Overflow are counted). Then the same
    on an unpaced device, which no reader outruns: reported only."""
    import tavo

    def run(options):
        with tavo.StreamReader(suite.sim.create_device("sim0" + options), 0, chunk_size=4096) as reader:
            last = int.from_bytes(next(reader)[:4], "little") // 1024  # the counter's words per chunk
            time.sleep(1)
            overflows = chunks = unreported = 0
            gaps = []  # (chunks before it, events dropped)
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline:
                try:
                    chunk = next(reader)
                except tavo.Overflow as gap:
                    gaps.append((chunks, gap.dropped))
                    overflows += 1
                    last = (last + gap.dropped) % 2**22
                    continue
                index = int.from_bytes(chunk[:4], "little") // 1024
                if index != (last + 1) % 2**22:  # the 32-bit counter wraps every 2**22 chunks
                    unreported += 1
                last = index
                chunks += 1
        return overflows, chunks, unreported, gaps

    overflows, chunks, unreported, gaps = run(":rate=100000")
    emit("9 pause 1 s, rate 100000: Overflows", overflows, "chunks in the next 2 s", chunks, "count", "==1",
         "met" if overflows == 1 and unreported == 0 else f"MISSED (gaps after/of {gaps[:4]}, {unreported} unreported)")
    overflows, chunks, unreported, _ = run("")
    emit("9 pause 1 s, unpaced: Overflows", overflows, "chunks in the next 2 s", chunks, "count", None,
         "report" if unreported == 0 else f"MISSED ({unreported} unreported gaps)")


def _environment():
    """This process's environment, with its module path for a child's imports."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


EXIT_SCRIPT = """
import time, tavo
readers = [tavo.StreamReader(tavo.open_device("sim", "sim0"), 0, chunk_size=4096) for _ in range(50)]
if {close}:
    for reader in readers:
        reader.close()
print(time.time(), flush=True)
"""


def exit_with_readers(suite):
    """Seconds from the end of a script to the end of its process, with 50
    readers of unpaced devices left open, against 50 closed ones."""
    def exit_seconds(close):
        process = subprocess.Popen([sys.executable, "-c", EXIT_SCRIPT.format(close=close)], stdout=subprocess.PIPE,
                                   text=True, env=_environment())
        last = float(process.stdout.readline())
        if process.wait(60) != 0:
            raise RuntimeError("the exit script failed")
        return time.time() - last

    left_open, closed = interleaved(lambda: exit_seconds(False), lambda: exit_seconds(True), reps=5)
    emit("9 exit, 50 readers left open s", left_open, "50 readers closed", closed, "s", "<=0.3 s",
         "met" if left_open <= 0.3 else "MISSED")


PAUSE_SCRIPT = """
import time, tavo
def rss():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS")) * 1024
device = tavo.open_device("sim", "sim0:chunk=4194304")
before = rss()
with tavo.StreamReader(device, 0) as reader:
    for _ in range(12):
        time.sleep(1)
    print(rss() - before, reader.stats.dropped)
"""


def paused_memory(suite):
    """How much a process grows while its reader pauses 12 s on 4 MiB chunks
    of an unpaced device, with the default bound (64 MiB)."""
    result = subprocess.run([sys.executable, "-c", PAUSE_SCRIPT], capture_output=True, text=True, timeout=120,
                            env=_environment())
    if result.returncode != 0:
        raise RuntimeError(f"the pause script failed: {result.stderr}")
    grown, dropped = map(int, result.stdout.split())
    bound = 64 * MIB + 4 * MIB + 64 * MIB
    emit("9 reader paused 12 s, 4 MiB chunks: MiB", grown / MIB, "bound + chunk + 64 MiB", bound / MIB, "MiB",
         "<=1.0")
    if not dropped:
        raise RuntimeError("the paused reader dropped nothing: the device was not faster than its bound")


def record_command(suite, total=2**29, chunk=2**20):
    """`tavo record` into a file in /dev/shm (the command's main() in this
    process) against the plain callback stream writing each chunk to such a
    file, and against the plain stream that does nothing with the data. The
    command's bound is lifted so that it records every chunk, as the
    callback does. Then `tavo record sim sim0 --bytes 200000000` with every
    default, as a new user runs it: reported, checked for the exact count
    and an intact counter pattern between gaps."""
    from tavo._cli import main as tavo_main

    path = f"/dev/shm/tavo-bench-{os.getpid()}.bin"
    chunks = total // chunk

    def record():
        summary = io.StringIO()
        start = time.perf_counter()
        with contextlib.redirect_stderr(summary):
            status = tavo_main(["record", suite.sim_path, f"sim0:chunks={chunks}", "--bytes", str(total),
                                "--chunk-size", str(chunk), "--max-buffered-bytes", str(2**62), "-o", path])
        seconds = time.perf_counter() - start
        if status != 0 or os.path.getsize(path) != total or " 0 dropped, 0 errors" not in summary.getvalue():
            raise RuntimeError(f"tavo record failed ({status}): {summary.getvalue()}")
        os.unlink(path)
        return total / seconds

    def callback_to_file():
        with open(path, "wb", buffering=0) as out:
            seconds = suite.callback_stream_seconds(chunk, chunks, out.write)
        if os.path.getsize(path) != total:
            raise RuntimeError("the callback stream wrote a short file")
        os.unlink(path)
        return total / seconds

    try:
        recorded, by_hand, plain = interleaved(record, callback_to_file,
                                               lambda: total / suite.stream_seconds(chunk, chunks), reps=5)
        emit("10 tavo record /dev/shm MiB/s (1M)", recorded / MIB, "callback stream to the file", by_hand / MIB,
             "MiB/s", ">=1.0")
        emit("10 tavo record /dev/shm MiB/s (1M)", recorded / MIB, "plain callback stream", plain / MIB, "MiB/s")
        seconds, summary = _record_defaults(path)
        emit("10 tavo record 200 MB, defaults, s", seconds, summary, seconds, "s")
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)  # left by a failed run


def _record_defaults(path, size=200_000_000):
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-m", "tavo", "record", "sim", "sim0", "--bytes", str(size), "-o", path],
                            capture_output=True, text=True, timeout=300, env=_environment())
    seconds = time.perf_counter() - start
    gaps_line = result.stderr.splitlines()[0] if result.stderr else ""
    with open(path, "rb") as f:
        data = f.read()
    os.unlink(path)
    words = array.array("I", data[:len(data) // 4 * 4])
    # Between gaps the counter goes on by one; a gap skips whole 4 KiB chunks.
    broken = sum(1 for i in range(1, len(words))
                 if words[i] != words[i - 1] + 1 and (i % 1024 or (words[i] - words[i - 1] - 1) % 1024))
    expected_status = 1 if "dropped in" in gaps_line else 0
    if len(data) != size or broken or result.returncode != expected_status:
        raise RuntimeError(f"the 200 MB recording is wrong: {len(data)} bytes, {broken} breaks, "
                           f"status {result.returncode}: {result.stderr}")
    dropped = gaps_line.split("), ", 1)[-1].split(",")[0] if "), " in gaps_line else "?"
    return seconds, f"exact, {dropped}"
