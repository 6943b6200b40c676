#!/usr/bin/env python3
"""ordavi-mpi at the end of a job: how fast a stop reaches the summary, and
what rank 0 holds.

  stop    mpirun -np N ordavi-mpi -u 0 -e -l 100 -n 1000000 -x DIR/log.csv DIR,
          SIGINT (Ctrl-C) or SIGUSR1 to mpirun once every rank is measuring
          (its 100th frame file exists) and --after seconds have passed.
          Figures: the time from the signal to the summary's last line
          ("Start spread") on mpirun's output, and to the job's end (the
          line saying every log was written, or mpirun's exit). Target: the
          summary within 0.5 s. On a SIGINT, Open MPI's mpirun sends SIGCONT,
          waits a second, sends SIGTERM, waits another and kills, and passes
          no output on meanwhile; so strace also times rank 0 itself, from
          its SIGTERM to its write of the summary's last line.
  memory  rank 0's peak resident set (under /usr/bin/time) in a whole job of
          -e -l 100 -n 1000000 per rank, for 2, 8 and 16 ranks, against one
          plain ordavi with the same options. Target: flat in the number of
          ranks, within 1.2 x the plain ordavi.

On a shared machine absolute times move by tens of percent; the ratios of
one run are the figures to compare.
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

ENV = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
JOB = ["--noinfo", "-u", "0", "-e", "-l", "100", "-n", "1000000"]
RSS_RE = re.compile(r"maxrss (\d+)")
FRAMES_RE = re.compile(r"Job frames \.+ (\d+)")


def log(msg):
    print(msg, flush=True)


def mpirun(args, np):
    cmd = ["mpirun"]
    if args.oversubscribe:
        cmd.append("--oversubscribe")
    return cmd + ["-np", str(np)]


def trace_times(path):
    """From strace -tt output: when SIGTERM reached rank 0 and when it wrote the
    summary's last line, in seconds of the day (None where missing)."""
    term = last = None
    try:
        with open(path) as f:
            for line in f:
                m = re.match(r"\d+ +(\d+):(\d+):([\d.]+) (.*)", line)
                if not m:
                    continue
                t = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3))
                if "--- SIGTERM" in m.group(4) and term is None:
                    term = t
                elif "Start spread" in m.group(4) and last is None:
                    last = t
    except OSError:
        pass
    return term, last


def stop_once(args, np, root, sig):
    subprocess.run(["rm", "-rf", root])
    os.makedirs(root)
    frames = os.path.join(root, "f")
    pids = os.path.join(root, "pid")
    # Rank 0 writes its pid before it becomes ordavi-mpi (exec keeps the pid).
    wrap = ["sh", "-c", f"echo $$ > {pids}.$OMPI_COMM_WORLD_RANK; exec \"$0\" \"$@\""]
    cmd = mpirun(args, np) + wrap + [args.mpi] + JOB + ["-x", os.path.join(root, "log.csv"),
                                                         frames]
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=ENV,
                         text=True)
    lines = []  # (time, line)

    def read():
        for line in p.stdout:
            lines.append((time.monotonic(), line))

    reader = threading.Thread(target=read)
    reader.start()
    last = os.path.join(frames, f"rank{np - 1:04d}", "frame000099.tst")
    while not os.path.exists(last) and p.poll() is None:
        time.sleep(0.01)
    # For a SIGINT, strace watches rank 0: when its SIGTERM comes from mpirun
    # and when it has written the summary (writes and signals only).
    tracer, trace = None, os.path.join(root, "strace")
    if sig == signal.SIGINT and args.strace:
        with open(pids + ".0") as f:
            pid0 = f.read().strip()
        tracer = subprocess.Popen(["strace", "--seccomp-bpf", "-f", "-tt", "-e", "trace=write",
                                   "-e", "signal=SIGTERM", "-o", trace, "-p", pid0],
                                  stderr=subprocess.DEVNULL)
    time.sleep(args.after)
    sent = time.monotonic()
    p.send_signal(sig)
    p.wait()
    ended = time.monotonic()
    reader.join()
    if tracer:
        tracer.wait()
    summary = next((t for t, l in lines if "Start spread" in l), None)
    written = next((t for t, l in lines if "Timing logs, one per rank" in l), None)
    text = "".join(l for _, l in lines)
    m = FRAMES_RE.search(text)
    logs = sorted(f for f in os.listdir(root) if f.startswith("log."))
    term, wrote = trace_times(trace) if tracer else (None, None)
    return {
        "summary": None if summary is None else summary - sent,
        "end": (written or ended) - sent,
        "logs": "all written" if written else f"{len(logs)} of {np} exist",
        "frames": int(m.group(1)) // np if m else 0,
        "inrank": None if term is None or wrote is None else wrote - term,
    }


def peak_rss(cmd):
    p = subprocess.run(cmd, capture_output=True, text=True, env=ENV)
    m = RSS_RE.search(p.stderr)
    if p.returncode != 0 or not m:
        sys.exit(f"bench: {' '.join(cmd)} failed: {p.stderr[-400:]}")
    return int(m.group(1)) / 1024.0


def main():
    ap = argparse.ArgumentParser(description="ordavi-mpi: stop latency and rank 0's memory")
    ap.add_argument("--mpi", required=True, help="the ordavi-mpi binary")
    ap.add_argument("--ordavi", required=True, help="the ordavi binary")
    ap.add_argument("--dir", default="/var/tmp", help="where the frames go (never tmpfs)")
    ap.add_argument("--after", type=float, default=4.0,
                    help="seconds of measuring before the SIGINT (default 4)")
    ap.add_argument("--repeats", type=int, default=3, help="stops per rank count (default 3)")
    ap.add_argument("--stop-ranks", default="2,8")
    ap.add_argument("--memory-ranks", default="2,8,16")
    ap.add_argument("--no-oversubscribe", dest="oversubscribe", action="store_false")
    ap.add_argument("--no-strace", dest="strace", action="store_false",
                    help="leave out the trace of rank 0 after a SIGINT")
    ap.add_argument("--skip", choices=["stop", "memory"], help="leave one part out")
    args = ap.parse_args()
    base = os.path.join(args.dir, f"ordavi-mpi-stop.{os.getpid()}")
    os.makedirs(base)
    try:
        if args.skip != "stop":
            log(f"stop: a signal to mpirun after {args.after} s of -e -l 100 -n 1000000 -x")
            for sig in (signal.SIGINT, signal.SIGUSR1):
                for np in [int(n) for n in args.stop_ranks.split(",")]:
                    got = [stop_once(args, np, os.path.join(base, "stop"), sig)
                           for _ in range(args.repeats)]
                    for g in got:
                        s = "missing" if g["summary"] is None else f"{g['summary']:.3f} s"
                        r = "" if g["inrank"] is None else \
                            f" (rank 0: SIGTERM -> summary written {g['inrank'] * 1000:.0f} ms)"
                        log(f"  {sig.name} {np:2d} ranks, {g['frames']} frames each: summary {s},"
                            f" end {g['end']:.3f} s, logs {g['logs']}{r}")
                    ok = [g["summary"] for g in got if g["summary"] is not None]
                    if ok:
                        log(f"  {sig.name} {np:2d} ranks: median signal -> summary "
                            f"{statistics.median(ok):.3f} s (target < 0.5 s)")
        if args.skip != "memory":
            root = os.path.join(base, "mem")
            subprocess.run(["rm", "-rf", root])
            os.makedirs(os.path.join(root, "plain"))
            time_rss = ["/usr/bin/time", "-f", "maxrss %M"]
            plain = peak_rss(time_rss + [args.ordavi] + JOB + [os.path.join(root, "plain")])
            log(f"memory: plain ordavi {' '.join(JOB)}: peak RSS {plain:.1f} MiB")
            for np in [int(n) for n in args.memory_ranks.split(",")]:
                subprocess.run(["rm", "-rf", os.path.join(root, "job")])
                job = JOB + [os.path.join(root, "job")]
                cmd = mpirun(args, 1) + time_rss + [args.mpi] + job
                if np > 1:
                    cmd += [":", "-np", str(np - 1), args.mpi] + job
                rss = peak_rss(cmd)
                log(f"  {np:2d} ranks: rank 0 peak RSS {rss:.1f} MiB, {rss / plain:.2f} x plain "
                    f"(target <= 1.2)")
    finally:
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    main()
