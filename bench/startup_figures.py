"""Figure 11: how long `tavo reg` takes to start, against the interpreter's
own start (`python3.12 -c pass`), and a read by name (which reads the
register map) against one by address, all run as fresh processes, interleaved,
the best of many runs (start-up is a floor: load elsewhere only adds), in
wall time and in the CPU time the process used (which load elsewhere
disturbs less). Byte-code is written first, as a user's second run has it.
Also lists the imports that cost `tavo reg` most, from the interpreter's
-X importtime.

    python3.12 startup_figures.py BUILD_DIR
"""

import os
import subprocess
import sys
import time

from report import emit

RUNS = 40


def main():
    build = sys.argv[1]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    tavo = [os.path.join(build, "bin", "tavo"), "reg", "sim", "sim0", "read", "0"]
    bare = [sys.executable, "-c", "pass"]
    named = tavo[:-1] + ["CONTROL"]
    for command in (tavo, named):
        subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)  # writes the byte-code
    wall = {"tavo": float("inf"), "bare": float("inf"), "named": float("inf")}
    cpu = dict(wall)
    for _ in range(RUNS):
        for name, command in (("tavo", tavo), ("bare", bare), ("named", named)):
            start = time.perf_counter()
            process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
            _, status, usage = os.wait4(process.pid, 0)
            wall[name] = min(wall[name], time.perf_counter() - start)
            cpu[name] = min(cpu[name], usage.ru_utime + usage.ru_stime)
            process.returncode = os.waitstatus_to_exitcode(status)
            if process.returncode != 0:
                raise RuntimeError(f"{command} failed ({process.returncode})")
    emit("11 tavo reg start-up ms", wall["tavo"] * 1e3, "python3.12 -c pass", wall["bare"] * 1e3, "ms", "<=2.0")
    emit("11 tavo reg start-up CPU ms", cpu["tavo"] * 1e3, "python3.12 -c pass", cpu["bare"] * 1e3, "ms", "<=2.0")
    emit("11 tavo reg read NAME CPU ms", cpu["named"] * 1e3, "tavo reg read ADDR", cpu["tavo"] * 1e3, "ms")
    # The imports, each with its own time: the largest, and the sum.
    report = subprocess.run([sys.executable, "-X", "importtime", *tavo], env=env, capture_output=True, text=True,
                            check=True).stderr
    rows = [line.split("|") for line in report.splitlines()[1:] if line.startswith("import time:")]
    own = sorted(((int(r[0].split(":")[1]), r[2].strip()) for r in rows), reverse=True)
    print(f"# tavo reg imports: {sum(t for t, _ in own) / 1e3:.1f} ms in all; largest: "
          + ", ".join(f"{name} {t / 1e3:.1f}" for t, name in own[:6]))


if __name__ == "__main__":
    main()
