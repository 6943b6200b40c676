#!/usr/bin/env python3
"""Many clients at once: an MPI job of ordavi-mpi against plain processes.

Three ways of writing hd frames with N clients on the same disk, run in
rotating order within each pair (mpi, plain, fio; then plain, fio, mpi; ...),
with the page cache dropped before every run and every run in a new, empty
directory:

  mpi    mpirun -np N ordavi-mpi -w hd -n F DIR (each rank in DIR/rankNNNN).
         Figure: the job table's "Job bandwidth" line, all bytes of all ranks
         over the common start to the latest end (MB there is MiB).
  plain  N plain ordavi processes started together by one shell, each with
         -w hd -n F in a directory of its own. Figure: the sum of the
         processes' own rates ("Overall frame rate" bytes/s).
  fio    fio --numjobs=N, psync, direct, one file per frame, F frames per
         job. Figure: io_bytes over the longest job's runtime.

The ratio mpi/plain of each pair is the figure that matters (target >= 0.95):
the rank layer's barrier, watcher and gather must cost the measured I/O
nothing. Absolute figures on a shared machine move by tens of percent; only
the paired ratios mean anything.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fio_compare as fc  # noqa: E402  (drop_caches, run_fio, empty_dir, fs_type)

JOB_RE = re.compile(r"Job bandwidth \.+ ([0-9.]+) MB/s")
FRAMES_RE = re.compile(r"Job frames \.+ ([0-9]+)")
TARGET = 0.95


def run_mpi(args, root):
    fc.empty_dir(root)
    cmd = ["timeout", "-k", "5", str(fc.RUN_TIMEOUT), "mpirun"]
    if args.oversubscribe:
        cmd.append("--oversubscribe")
    cmd += ["-np", str(args.np), args.mpi, "--noinfo", "-u", "0", "-w", "hd", "-n",
            str(args.frames), root]
    env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    p = subprocess.run(cmd, capture_output=True, text=True, env=env)
    m, f = JOB_RE.search(p.stdout), FRAMES_RE.search(p.stdout)
    if p.returncode != 0 or p.stderr.strip() or not m or not f:
        return None, f"exit {p.returncode}: {fc.first_line(p.stderr + p.stdout)}"
    if int(f.group(1)) != args.np * args.frames:
        return None, f"job did {f.group(1)} of {args.np * args.frames} frames"
    return float(m.group(1)), ""


def run_plain(args, root):
    fc.empty_dir(root)
    dirs = [os.path.join(root, f"p{i}") for i in range(args.np)]
    for d in dirs:
        os.makedirs(d)
    # One shell starts them all at once and waits for every one.
    script = " ".join(
        f'"{args.ordavi}" --noinfo -u 0 -w hd -n {args.frames} "{d}" > "{d}.out" 2>&1 &'
        for d in dirs) + " wait"
    p = subprocess.run(["timeout", str(fc.RUN_TIMEOUT), "sh", "-c", script])
    if p.returncode != 0:
        return None, f"exit {p.returncode}"
    total = 0.0
    for d in dirs:
        with open(d + ".out") as f:
            text = f.read()
        m = fc.SUMMARY_RE.search(text)
        if not m or "Error" in text:
            return None, fc.first_line(text)
        total += float(m.group(2)) / fc.MIB
    return total, ""


def run_fio(args, root):
    fc.empty_dir(root)
    fio_args = [
        "--name=frames", f"--directory={root}", "--ioengine=psync", "--direct=1",
        f"--bs={fc.HD}", f"--filesize={fc.HD}", f"--nrfiles={args.frames}", "--openfiles=1",
        "--file_service_type=sequential", "--create_on_open=1", "--fallocate=none", "--rw=write",
        f"--numjobs={args.np}", "--group_reporting",
    ]
    logdir = root + ".log"
    os.makedirs(logdir, exist_ok=True)
    r = fc.run_fio(fio_args, "write", fc.HD, args.np * args.frames, logdir)
    return (r.mibs, "") if r.ok else (None, r.note)


def main():
    ap = argparse.ArgumentParser(description="ordavi-mpi against plain ordavi processes and fio")
    ap.add_argument("--mpi", required=True, help="the ordavi-mpi binary")
    ap.add_argument("--ordavi", required=True, help="the ordavi binary")
    ap.add_argument("--dir", default="/var/tmp", help="where the frames go (never tmpfs)")
    ap.add_argument("--np", type=int, default=4, help="clients (default 4)")
    ap.add_argument("--frames", type=int, default=100, help="hd frames per client (default 100)")
    ap.add_argument("--pairs", type=int, default=5, help="rounds of the three runs (default 5)")
    ap.add_argument("--no-oversubscribe", dest="oversubscribe", action="store_false",
                    help="leave out mpirun's --oversubscribe (not Open MPI, or enough slots)")
    args = ap.parse_args()
    for tool in ("mpirun", "fio", "timeout"):
        if not subprocess.run(["sh", "-c", f"command -v {tool}"], capture_output=True).stdout:
            sys.exit(f"bench: {tool} is missing")

    base = os.path.join(args.dir, f"ordavi-mpi-bench.{os.getpid()}")
    os.makedirs(base)
    fc.log(f"{args.np} clients x {args.frames} hd frames, {args.pairs} rounds, "
           f"{base} ({fc.fs_type(base)})")
    runs = {"mpi": run_mpi, "plain": run_plain, "fio": run_fio}
    order = list(runs)
    figures = {k: [] for k in runs}
    ratios = []
    try:
        for i in range(args.pairs):
            got = {}
            for name in order[i % 3:] + order[:i % 3]:
                root = os.path.join(base, name)
                os.makedirs(root, exist_ok=True)
                fc.empty_dir(root)
                fc.drop_caches()
                mibs, note = runs[name](args, root)
                if mibs is None:
                    fc.log(f"  round {i + 1} {name}: failed ({note})")
                    continue
                got[name] = mibs
                figures[name].append(mibs)
            if "mpi" in got and "plain" in got:
                ratios.append(got["mpi"] / got["plain"])
            fc.log(f"  round {i + 1}: " + ", ".join(f"{k} {v:.1f} MiB/s" for k, v in got.items()))
    finally:
        subprocess.run(["rm", "-rf", base])

    fc.log("\n  run     median MiB/s     min     max")
    for k, v in figures.items():
        if v:
            fc.log(f"  {k:<6} {statistics.median(v):12.1f} {min(v):7.1f} {max(v):7.1f}")
    if ratios:
        med = statistics.median(ratios)
        verdict = "meets" if med >= TARGET else "misses"
        fc.log(f"\n  mpi/plain, paired: median {med:.3f} (min {min(ratios):.3f}, "
               f"max {max(ratios):.3f}); {verdict} the target {TARGET}")


if __name__ == "__main__":
    main()
