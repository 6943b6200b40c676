#!/usr/bin/env python3
"""Runs ordavi and fio side by side on the same frame workloads.

For every workload the two tools run alternately (ordavi, fio, ordavi, fio,
...), with the page cache dropped (and free memory compacted) before every
run and every write run in a new, empty directory, and the table compares
the two: MiB/s and
frames/s (median, min, max) for each tool and the median of the pair-by-pair
ratios ordavi/fio. Only the paired ratios mean anything on a shared machine:
absolute figures move by tens of percent from one minute to the next.

Figures:
  ordavi  the summary line "Overall frame rate .... F fps (B bytes/s)":
          F = frames / (end - start of the run), B = bytes moved / the same
          time; MiB/s = B / 1048576. The run's timing log (-x) is checked to
          hold one row per requested frame, and any error text fails the run.
  fio     the JSON output of the direction that ran (filecreate reports its
          creates under "read"): summed io_bytes and total_ios over the jobs,
          the longest job runtime (ms); MiB/s = io_bytes / runtime / 1048576,
          frames/s = io_bytes / frame size / runtime (total_ios / runtime for
          filecreate, one I/O per created file).
  ratio   ordavi frames/s / fio frames/s of the same pair; the table shows
          the median over the pairs (the CSV also the min and max).
"""

import argparse
import csv
import datetime
import json
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1048576
HD = 8359936  # 1920x1080x4 plus a 64 KiB header
SD = 1449984  # 720x480x4 plus a 64 KiB header
TARGET_RATIO = 0.98
# The frames of a read workload are named frame0.tst, frame1.tst, ...: the
# names fio gives them with --filename_format=frame$filenum.tst (fio cannot
# pad numbers, and a --filename list is limited to FIO_MAX_VALUE characters).
READ_NAME = "frame0.tst"
FIO_MAX_VALUE = 4096
LIMIT_DEPTH = 16  # transfers in flight when fio measures the disk's limit
RUN_TIMEOUT = 900  # seconds; a run that takes longer is reported as failed

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Frame counts per mode: (hd frames, sd frames, empty frames, pairs).
MODES = {
    "quick": dict(hd=200, sd=800, empty=5000, pairs=3),
    "full": dict(hd=500, sd=2000, empty=20000, pairs=7),
}


def log(msg):
    print(msg, flush=True)


# ---------------------------------------------------------------------------
# Environment: tools, privileges, cache control


def as_root(cmd):
    return cmd if os.geteuid() == 0 else ["sudo", "-n"] + cmd


def ensure_package(command, package):
    """Installs Debian's `package` when `command` is not on the PATH."""
    if shutil.which(command) or os.path.exists(command):
        return
    log(f"Installing {package} (for {command}) from Debian's packages...")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(as_root(["apt-get", "update", "-qq"]), check=True, env=env)
    subprocess.run(as_root(["apt-get", "install", "-y", "-qq", package]), check=True, env=env)
    if not (shutil.which(command) or os.path.exists(command)):
        sys.exit(f"bench: {package} was installed but {command} is still missing")


COMPACT = "/proc/sys/vm/compact_memory"


def drop_caches():
    """Drops the page cache, then compacts free memory.

    Every run then starts from the same free memory. Where a transfer buffer
    falls on physical pages matters: a direct transfer is split into one
    request per max_segments separate pieces of memory (254 on a virtual
    disk), and a buffer of scattered pages can take twice as long per frame
    as one in long physically contiguous runs.
    """
    script = "sync; echo 3 > /proc/sys/vm/drop_caches"
    if os.path.exists(COMPACT):
        script += f"; echo 1 > {COMPACT}"
    if os.geteuid() == 0:
        subprocess.run(["sh", "-c", script], check=True)
    else:
        subprocess.run(["sudo", "-n", "sh", "-c", script], check=True)


def fs_type(path):
    for cmd in (["findmnt", "-n", "-o", "FSTYPE", "-T", path], ["stat", "-f", "-c", "%T", path]):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True)
        except OSError:
            continue
        if out.returncode == 0 and out.stdout.strip():
            return out.stdout.strip()
    return "unknown"


def empty_dir(path):
    """Removes everything in `path` but keeps the directory itself."""
    os.makedirs(path, exist_ok=True)
    for entry in os.scandir(path):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.unlink(entry.path)


# ---------------------------------------------------------------------------
# One run of each tool


class RunResult:
    def __init__(self, ok, fps=0.0, mibs=0.0, seconds=0.0, note=""):
        self.ok, self.fps, self.mibs, self.seconds, self.note = ok, fps, mibs, seconds, note
        self.cpu = 0.0  # user + system seconds of the whole process tree


def run_timed(cmd):
    """Runs `cmd`; returns the completed process and the CPU seconds it used.

    The CPU time (user + system, the process and the children it waited for)
    covers the whole command, set-up and report included, so it is a rough
    figure: fio's includes its job set-up and JSON output, ordavi's its log.
    """
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=RUN_TIMEOUT)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return p, cpu


SUMMARY_RE = re.compile(r"Overall frame rate \.+ ([0-9.]+) fps \(([0-9.]+) bytes/s\)")


def first_line(text):
    for line in text.splitlines():
        if line.strip():
            return line.strip()[:120]
    return ""


def run_ordavi(ordavi, args, frames, logdir):
    """Runs ordavi once; its own summary gives the figures."""
    csv_log = os.path.join(logdir, "ordavi-timing.csv")
    if os.path.exists(csv_log):
        os.remove(csv_log)
    cmd = [ordavi, "--noinfo", "-u", "0", "-x", csv_log] + args
    try:
        p, cpu = run_timed(cmd)
    except subprocess.TimeoutExpired:
        return RunResult(False, note=f"timed out after {RUN_TIMEOUT} s")
    r = ordavi_figures(p, frames, csv_log)
    r.cpu = cpu
    return r


def ordavi_figures(p, frames, csv_log):
    """ordavi's figures from its summary, once the run is known complete."""
    if p.returncode != 0:
        return RunResult(False, note=f"exit {p.returncode}: {first_line(p.stderr + p.stdout)}")
    # A run that stopped on an error still exits 0 with a summary.
    if "Error" in p.stderr or "FATAL" in p.stderr:
        return RunResult(False, note=first_line(p.stderr))
    m = SUMMARY_RE.search(p.stdout)
    if not m:
        return RunResult(False, note="no summary line")
    rows = count_log_rows(csv_log)
    if rows != frames:
        return RunResult(False, note=f"timing log has {rows} of {frames} frames")
    fps, bps = float(m.group(1)), float(m.group(2))
    return RunResult(True, fps=fps, mibs=bps / MIB, seconds=frames / fps if fps else 0.0)


def count_log_rows(path):
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return -1
    for i, line in enumerate(lines):
        if line.startswith("num,start"):
            return sum(1 for row in lines[i + 1 :] if row)
    return -1


def run_fio(args, direction, frame, expect_ios, logdir):
    """Runs fio once with JSON output; returns its figures for `direction`."""
    out = os.path.join(logdir, "fio.json")
    if os.path.exists(out):
        os.remove(out)
    cmd = ["fio", "--output-format=json", f"--output={out}"] + args
    try:
        p, cpu = run_timed(cmd)
    except subprocess.TimeoutExpired:
        return RunResult(False, note=f"timed out after {RUN_TIMEOUT} s")
    r = fio_figures(p, out, direction, frame, expect_ios)
    r.cpu = cpu
    return r


def fio_figures(p, out, direction, frame, expect_ios):
    """fio's figures from its JSON output, once the run is known complete."""
    if p.returncode != 0:
        return RunResult(False, note=f"exit {p.returncode}: {first_line(p.stderr + p.stdout)}")
    try:
        with open(out) as f:
            text = f.read()
        # fio may print notes before the JSON object.
        data = json.loads(text[text.index("{") :])
    except (OSError, ValueError) as e:
        return RunResult(False, note=f"unreadable JSON: {e}")
    jobs = data.get("jobs", [])
    if not jobs or any(j.get("error", 0) for j in jobs):
        return RunResult(False, note="fio job error")
    try:
        io_bytes = sum(j[direction]["io_bytes"] for j in jobs)
        ios = sum(j[direction]["total_ios"] for j in jobs)
        runtime_ms = max(j[direction]["runtime"] for j in jobs)
    except (KeyError, TypeError):
        return RunResult(False, note=f"no {direction} figures in fio's JSON")
    if ios != expect_ios:
        return RunResult(False, note=f"fio did {ios} of {expect_ios} I/Os")
    if runtime_ms <= 0:
        return RunResult(False, note="fio reported no runtime")
    secs = runtime_ms / 1000.0
    fps = (io_bytes / frame if frame else ios) / secs
    # filecreate counts its 4 KiB per created file as bytes; no data moves.
    mibs = io_bytes / secs / MIB if frame else 0.0
    return RunResult(True, fps=fps, mibs=mibs, seconds=secs)


# ---------------------------------------------------------------------------
# Workloads


class Workload:
    """One matched pair of commands and the directory they work in.

    kind: "files" (one file per frame), "stream" (one file) or "empty".
    Every write run gets a new directory of its own (see
    spread_subdirectories). In a read workload fio reads the very files
    ordavi wrote (the same names, or ordavi's stream file), so both tools
    read the same blocks; the data set is written once, untimed, before the
    pairs.
    """

    def __init__(
        self, name, kind, direction, frame, frames, threads=0, aio=0, size_arg=None, limit=False
    ):
        self.name, self.kind, self.direction = name, kind, direction
        self.frame, self.frames, self.threads, self.aio = frame, frames, threads, aio
        self.size_arg = size_arg  # ordavi frame size option value
        # limit: fio measures the disk's limit for this transfer size (libaio,
        # 16 transfers in flight) instead of running ordavi's twin.
        self.limit = limit

    def target(self, root, tool):
        return os.path.join(root, f"{tool}.stream") if self.kind == "stream" else root

    def ordavi_args(self, root):
        a = ["--name=" + READ_NAME] if self.kind == "files" and self.direction == "read" else []
        if self.threads:
            a += ["-t", str(self.threads)]
        if self.aio:
            a += ["-a", str(self.aio)]
        if self.kind == "empty":
            a += ["-e"]
        elif self.kind == "stream":
            a += ["-s", "-w" if self.direction == "write" else "-z", self.size_arg]
        elif self.direction == "write":
            a += ["-w", self.size_arg]
        return a + ["-n", str(self.frames), self.target(root, "ordavi")]

    def fio_args(self, root):
        if self.kind == "empty":
            return [
                "--name=empty", f"--directory={root}", "--ioengine=filecreate",
                "--filesize=4k", "--bs=4k", f"--nrfiles={self.frames}", "--openfiles=1",
                "--file_service_type=sequential", "--fallocate=none",
            ]
        rw = f"--rw={self.direction}"
        if self.kind == "stream":
            # A read reads ordavi's stream file; a write makes fio's own.
            tool = "ordavi" if self.direction == "read" else "fio"
            a = [
                "--name=stream", f"--filename={self.target(root, tool)}", "--direct=1",
                f"--bs={self.frame}", f"--size={self.frame * self.frames}", "--fallocate=none",
                rw,
            ]
            if self.limit:
                return a + ["--ioengine=libaio", f"--iodepth={LIMIT_DEPTH}"]
            if self.aio:
                # ordavi's -a runs on io_uring on Linux: fio's io_uring
                # engine at the same depth is its twin.
                return a + ["--ioengine=io_uring", f"--iodepth={self.aio}"]
            return a + ["--ioengine=psync"]
        jobs = self.threads or 1
        common = [
            f"--directory={root}", "--ioengine=psync", "--direct=1", f"--bs={self.frame}",
            f"--filesize={self.frame}", "--openfiles=1", "--file_service_type=sequential",
            "--create_on_open=1", "--fallocate=none", rw,
        ]
        if self.direction == "write":
            a = common + ["--name=frames", f"--nrfiles={self.frames // jobs}"]
            return a + ([f"--numjobs={jobs}", "--group_reporting"] if jobs > 1 else [])
        # Reads: ordavi's frame files, named frame0.tst, frame1.tst, ... (see
        # READ_NAME), which is fio's own numbering with --filename_format.
        if jobs == 1:
            return common + [
                "--name=frames", "--filename_format=frame$filenum.tst",
                f"--nrfiles={self.frames}",
            ]
        # Several jobs: the frames are dealt to them in turn (job j reads
        # frames j, j + jobs, ...), as ordavi's threads take consecutive
        # frames. Options before the first --name are global.
        a = common + ["--group_reporting"]
        for j in range(jobs):
            names = ":".join(f"frame{i}.tst" for i in range(j, self.frames, jobs))
            if len(names) > FIO_MAX_VALUE:
                raise SystemExit(f"bench: {self.name}: too many frames for fio's --filename")
            a += [f"--name=frames{j}", "--filename=" + names]
        return a

    def fio_direction(self):
        return "read" if self.kind == "empty" else self.direction

    def fio_expected_ios(self):
        return self.frames  # one I/O per frame, whole-frame transfers or one create

    def describe(self, root):
        def short(arg):
            if arg.startswith("--filename=") and ":" in arg:
                files = arg[len("--filename=") :].split(":")
                return f"--filename={files[0]}:...:{files[-1]}"
            return arg

        return (
            "ordavi " + " ".join(self.ordavi_args(root)),
            "fio " + " ".join(short(a) for a in self.fio_args(root)),
        )


def workloads(mode):
    m = MODES[mode]
    hd, sd, empty = m["hd"], m["sd"], m["empty"]
    hd_kb = str(HD // 1024)
    return [
        Workload("hd-write", "files", "write", HD, hd, size_arg="hd"),
        Workload("hd-read", "files", "read", HD, hd, size_arg="hd"),
        Workload("sd-write", "files", "write", SD, sd, size_arg="sd"),
        Workload("sd-read", "files", "read", SD, sd, size_arg="sd"),
        Workload("hd-t4-write", "files", "write", HD, hd, threads=4, size_arg="hd"),
        Workload("hd-t4-read", "files", "read", HD, hd, threads=4, size_arg="hd"),
        Workload("hd-stream-write", "stream", "write", HD, hd, size_arg=hd_kb),
        Workload("hd-stream-read", "stream", "read", HD, hd, size_arg=hd_kb),
        Workload("hd-stream-a8-write", "stream", "write", HD, hd, aio=8, size_arg=hd_kb),
        Workload("hd-stream-a8-read", "stream", "read", HD, hd, aio=8, size_arg=hd_kb),
        Workload("empty-create", "empty", "write", 0, empty),
        Workload("disk-limit-write", "stream", "write", HD, hd, size_arg=hd_kb, limit=True),
        Workload("disk-limit-read", "stream", "read", HD, hd, size_arg=hd_kb, limit=True),
    ]


def prepare_read_data(w, root, ordavi):
    """Writes the data set that both tools read, with ordavi's synchronous writer (untimed)."""
    empty_dir(root)
    if w.kind == "stream":
        args = ["-s", "-w", w.size_arg]
    else:
        args = ["--name=" + READ_NAME, "-w", w.size_arg]
    p = subprocess.run(
        [ordavi, "--noinfo", "-u", "0"] + args + ["-n", str(w.frames), w.target(root, "ordavi")],
        capture_output=True, text=True, timeout=RUN_TIMEOUT,
    )
    if p.returncode != 0 or "Error" in p.stderr or "FATAL" in p.stderr:
        return f"ordavi could not write the data set: {first_line(p.stderr + p.stdout)}"
    os.sync()
    return None


def spread_subdirectories(path):
    """Makes ext4 place each new subdirectory of `path` in a group of its own.

    The 'T' attribute marks the top of a directory hierarchy, so the Orlov
    allocator spreads its subdirectories over the block groups. A write run
    then never creates its files next to inodes freed seconds before: ext4
    skips such inodes one by one at every create while their inode table
    block is cached, which makes creating n files after deleting n files
    cost n squared and would leave an empty-frame run measuring little else.
    """
    subprocess.run(["chattr", "+T", path], capture_output=True)


def look_up_names(w, d):
    """Looks up the names of the files ordavi is about to create.

    fio's set-up looks up every file name of its job (one stat per file)
    before its clock starts, so its timed creates find each name already
    known not to exist and skip the directory search, about a fifth of an
    empty file's create on ext4. The same lookups before ordavi's run give
    both tools the same work inside their clocks.
    """
    if w.kind not in ("files", "empty"):
        return
    for i in range(w.frames):
        try:
            os.stat(os.path.join(d, f"frame{i:06d}.tst"))
        except FileNotFoundError:
            pass


def run_workload(w, ordavi, work, pairs, runs_csv):
    root = os.path.join(work, w.name)
    os.makedirs(root, exist_ok=True)
    spread_subdirectories(root)
    logdir = os.path.join(work, "logs")
    os.makedirs(logdir, exist_ok=True)
    data = os.path.join(root, "data")  # a read workload's frames
    o_cmd, f_cmd = w.describe(data if w.direction == "read" else os.path.join(root, "RUN"))
    log(f"\n== {w.name}\n   {o_cmd}\n   {f_cmd}")
    result = {"workload": w.name, "ordavi": [], "fio": [], "ratios": [], "notes": []}

    if w.direction == "read":
        err = prepare_read_data(w, data, ordavi)
        if err:
            result["notes"].append(err)
            log(f"   {err}")
            shutil.rmtree(root, ignore_errors=True)
            return result

    for pair in range(1, pairs + 1):
        got = {}
        for tool in ("ordavi", "fio"):
            # Every run starts with nothing cached and with memory
            # compacted. A write run starts in a new, empty directory (the
            # previous run's files deleted and on disk) whose blocks were
            # read back: fio's set-up looks up every file name before its
            # clock starts, which reads them for fio, while ordavi would
            # read them inside its run.
            if w.direction == "write":
                empty_dir(root)
                d = os.path.join(root, f"{pair}-{tool}")
                os.makedirs(d)
            else:
                d = data
            drop_caches()
            if w.direction == "write":
                os.listdir(d)
                if tool == "ordavi":
                    look_up_names(w, d)
            if tool == "ordavi":
                r = run_ordavi(ordavi, w.ordavi_args(d), w.frames, logdir)
            else:
                r = run_fio(w.fio_args(d), w.fio_direction(), w.frame, w.fio_expected_ios(), logdir)
            got[tool] = r
            runs_csv.writerow(
                [
                    w.name, pair, tool, int(r.ok), f"{r.mibs:.2f}", f"{r.fps:.2f}",
                    f"{r.seconds:.3f}", f"{r.cpu:.3f}", r.note,
                ]
            )
            note = f"{tool}: {r.note}"
            if r.ok:
                result[tool].append(r)
            elif note not in result["notes"]:
                result["notes"].append(note)
        o, f = got["ordavi"], got["fio"]
        ratio = o.fps / f.fps if o.ok and f.ok and f.fps > 0 else None
        if ratio is not None:
            result["ratios"].append(ratio)
        log(
            f"   pair {pair}: ordavi {fmt_run(o, w)}   fio {fmt_run(f, w)}"
            + (f"   ratio {ratio:.3f}" if ratio is not None else "")
        )
        # A tool that cannot run this workload will not run it next time either.
        if not o.ok and pair == 1 and "not available" in o.note:
            break
    shutil.rmtree(root, ignore_errors=True)
    return result


def fmt_run(r, w):
    if not r.ok:
        return f"FAILED ({r.note})"
    if w.kind == "empty":
        return f"{r.fps:9.0f} files/s"
    return f"{r.mibs:8.1f} MiB/s {r.fps:8.2f} fps"


# ---------------------------------------------------------------------------
# Memory figure


def memory_figure(ordavi, work, frames=1000000):
    """Peak RSS of a million-frame empty run against its per-frame records.

    Each frame has one record of five 64-bit time stamps and a 32-bit queue
    fill, 48 bytes with its padding; ordavi allocates all of them at start.
    """
    d = os.path.join(work, "memory")
    empty_dir(d)
    record = 48
    cmd = ["/usr/bin/time", "-v", ordavi, "--noinfo", "-e", "-l", "100", "-n", str(frames), "-u", "0", d]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        return {"ok": False, "note": f"timed out after {RUN_TIMEOUT} s"}
    finally:
        shutil.rmtree(d, ignore_errors=True)
    m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", p.stderr)
    if p.returncode != 0 or not m:
        return {"ok": False, "note": first_line(p.stderr + p.stdout)}
    peak = int(m.group(1)) * 1024
    records = record * frames
    return {
        "ok": True, "command": " ".join(cmd[2:]), "peak": peak, "records": records,
        "over": peak - records, "limit": records + 16 * MIB,
    }


# ---------------------------------------------------------------------------
# Table


def stats3(values):
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def table_rows(results, kinds):
    rows = []
    for r in results:
        w = kinds[r["workload"]]
        row = {"workload": r["workload"], "pairs": len(r["ratios"])}
        for tool in ("ordavi", "fio"):
            runs = r[tool]
            row[f"{tool}_mibs"] = None if w.kind == "empty" else stats3([x.mibs for x in runs])
            row[f"{tool}_fps"] = stats3([x.fps for x in runs])
            # CPU seconds (user + system) per GiB moved, per run.
            per_gib = [x.cpu / (x.mibs * x.seconds / 1024) for x in runs if x.ok and x.mibs * x.seconds > 0]
            row[f"{tool}_cpu_gib"] = None if w.kind == "empty" else stats3(per_gib)
        row["ratio"] = stats3(r["ratios"])
        if row["ratio"] is None:
            row["status"] = "FAILED"
        elif row["ratio"][0] >= TARGET_RATIO:
            row["status"] = "ok"
        else:
            row["status"] = "SHORT"
        row["notes"] = "; ".join(r["notes"])
        rows.append(row)
    return rows


def fmt3(t, digits):
    if t is None:
        return "-"
    return f"{t[0]:.{digits}f} [{t[1]:.{digits}f}-{t[2]:.{digits}f}]"


def fmt1(t, digits):
    return "-" if t is None else f"{t[0]:.{digits}f}"


def print_table(rows, out):
    heads = [
        "workload", "ordavi MiB/s med [min-max]", "ordavi frames/s med [min-max]",
        "fio MiB/s med [min-max]", "fio frames/s med [min-max]", "ratio med", "pairs", "",
        "CPU s/GiB ordavi", "fio",
    ]
    lines = []
    for r in rows:
        fps_digits = 0 if r["workload"].startswith("empty") else 1
        lines.append([
            r["workload"], fmt3(r["ordavi_mibs"], 1), fmt3(r["ordavi_fps"], fps_digits),
            fmt3(r["fio_mibs"], 1), fmt3(r["fio_fps"], fps_digits),
            "-" if r["ratio"] is None else f"{r['ratio'][0]:.3f}", str(r["pairs"]), r["status"],
            fmt1(r["ordavi_cpu_gib"], 3), fmt1(r["fio_cpu_gib"], 3),
        ])
    widths = [max(len(h), *(len(l[i]) for l in lines)) for i, h in enumerate(heads)]
    fmt = lambda cells: "  ".join(c.ljust(widths[i]) for i, c in enumerate(cells)).rstrip()
    text = [fmt(heads), fmt(["-" * w for w in widths])] + [fmt(l) for l in lines]
    text.append(
        f"ratio med: median over the pairs of ordavi frames/s / fio frames/s; ok: at least "
        f"{TARGET_RATIO}.\ndisk-limit rows: ordavi's synchronous stream against fio libaio "
        f"with {LIMIT_DEPTH} transfers in flight on a file of the same size.\n"
        f"CPU s/GiB: median over the runs of user + system CPU seconds per GiB moved "
        f"(whole process, set-up included)."
    )
    for r in rows:
        if r["notes"]:
            text.append(f"  {r['workload']}: {r['notes']}")
    out.write("\n".join(text) + "\n")


def write_csv(rows, path):
    with open(path, "w", newline="") as f:
        wr = csv.writer(f)
        head = ["workload"]
        for tool in ("ordavi", "fio"):
            for fig in ("mibs", "fps"):
                head += [f"{tool}_{fig}_median", f"{tool}_{fig}_min", f"{tool}_{fig}_max"]
        head += ["ratio_median", "ratio_min", "ratio_max", "pairs", "status", "notes"]
        wr.writerow(head)
        for r in rows:
            cells = [r["workload"]]
            for key in ("ordavi_mibs", "ordavi_fps", "fio_mibs", "fio_fps", "ratio"):
                t = r[key]
                digits = 4 if key == "ratio" else 2
                cells += ["", "", ""] if t is None else [f"{v:.{digits}f}" for v in t]
            wr.writerow(cells + [r["pairs"], r["status"], r["notes"]])


# ---------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description="ordavi against fio, paired runs on the same disk")
    ap.add_argument("--quick", action="store_true", help="fewer frames and 3 pairs")
    ap.add_argument("--pairs", type=int, help="pairs per workload (at least 1)")
    ap.add_argument("--ordavi", default=os.path.join(REPO, "build", "ordavi"), help="the binary")
    ap.add_argument("--dir", default="/var/tmp", help="where the data directory is made")
    ap.add_argument("--results", default=os.path.join(REPO, "results"), help="CSV folder")
    ap.add_argument("--only", help="comma-separated workload names")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory figure")
    ap.add_argument("--no-paced-cpu", action="store_true", help="skip the paced CPU figure")
    args = ap.parse_args()

    mode = "quick" if args.quick else "full"
    pairs = args.pairs or MODES[mode]["pairs"]
    if pairs < 1:
        ap.error("--pairs must be at least 1")
    ordavi = os.path.abspath(args.ordavi)
    if not os.access(ordavi, os.X_OK):
        sys.exit(f"bench: no ordavi binary at {ordavi} (run 'make build' first)")

    ensure_package("fio", "fio")
    ensure_package("/usr/bin/time", "time")
    try:
        drop_caches()
    except (OSError, subprocess.CalledProcessError):
        sys.exit("bench: dropping the page cache needs root (or password-less sudo)")

    selected = workloads(mode)
    if args.only:
        names = args.only.split(",")
        unknown = set(names) - {w.name for w in selected}
        if unknown:
            sys.exit(f"bench: unknown workload(s): {', '.join(sorted(unknown))}")
        selected = [w for w in selected if w.name in names]

    os.makedirs(args.dir, exist_ok=True)
    kind = fs_type(args.dir)
    if kind in ("tmpfs", "ramfs"):
        sys.exit(f"bench: {args.dir} is on {kind}; give --dir on the storage to measure")
    need = max(2 * w.frame * w.frames for w in selected) + 256 * MIB
    free = shutil.disk_usage(args.dir).free
    if free < need:
        sys.exit(f"bench: {args.dir} has {free // MIB} MiB free, the largest workload needs {need // MIB} MiB")

    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    os.makedirs(args.results, exist_ok=True)
    base = os.path.join(args.results, f"bench-{stamp}-{mode}")
    work = tempfile.mkdtemp(prefix="ordavi-bench.", dir=args.dir)
    fio_version = subprocess.run(["fio", "--version"], capture_output=True, text=True).stdout.strip()
    header = (
        f"ordavi vs fio, {mode} mode, {pairs} pairs per workload, {fio_version}, "
        f"{os.uname().sysname} {os.uname().release}, data in {work} ({kind}), "
        f"load average at start {os.getloadavg()[0]:.2f}"
    )
    log(header)
    started = time.time()
    results = []
    memory = None
    paced = None
    try:
        with open(base + "-runs.csv", "w", newline="") as rf:
            runs_csv = csv.writer(rf)
            runs_csv.writerow(
                ["workload", "pair", "tool", "ok", "mib_s", "frames_s", "seconds", "cpu_seconds",
                 "note"]
            )
            for w in selected:
                results.append(run_workload(w, ordavi, work, pairs, runs_csv))
                rf.flush()
        if not args.no_memory:
            memory = memory_figure(ordavi, work)
        if not args.no_paced_cpu:
            paced = paced_cpu_figure(ordavi, work)
    except KeyboardInterrupt:
        log("\nbench: interrupted; the table covers the finished workloads")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    rows = table_rows(results, {w.name: w for w in selected})
    write_csv(rows, base + ".csv")
    with open(base + ".txt", "w") as tf:
        for out in (sys.stdout, tf):
            out.write(f"\n{header}\nElapsed {time.time() - started:.0f} s\n\n")
            print_table(rows, out)
            if memory is not None:
                out.write("\n" + memory_text(memory) + "\n")
            if paced is not None:
                out.write("\n" + paced_cpu_text(paced) + "\n")
    log(f"\nTable: {base}.csv   per-run figures: {base}-runs.csv")
    short = [r["workload"] for r in rows if r["status"] != "ok"]
    if short:
        log(f"Below {TARGET_RATIO} or failed: {', '.join(short)}")


def paced_cpu_figure(ordavi, work, rate=25, frames=100):
    """CPU use of paced runs of small frames: a write, then a read of them.

    A paced run spends nearly all its time waiting for the next frame
    period; waiting must cost no CPU. The figure is user + system seconds
    over the run's wall-clock time, in percent of one core.
    """
    d = os.path.join(work, "paced")
    empty_dir(d)
    figures = []
    for label, extra in (("write", ["-w", "4"]), ("read", [])):
        cmd = [ordavi, "--noinfo", "-u", "0", "-f", str(rate), "-n", str(frames)] + extra + [d]
        start = time.time()
        try:
            p, cpu = run_timed(cmd)
        except subprocess.TimeoutExpired:
            figures.append((label, None, f"timed out after {RUN_TIMEOUT} s"))
            continue
        wall = time.time() - start
        if p.returncode != 0 or "Error" in p.stderr:
            figures.append((label, None, first_line(p.stderr + p.stdout)))
        else:
            figures.append((label, 100.0 * cpu / wall, " ".join(cmd[1:])))
    shutil.rmtree(d, ignore_errors=True)
    return figures


def paced_cpu_text(figures, limit=5.0):
    lines = [f"Paced CPU use (target under {limit:.0f}% of one core):"]
    for label, pct, note in figures:
        if pct is None:
            lines.append(f"  {label}: FAILED ({note})")
        else:
            lines.append(f"  {label}: {pct:.2f}% of one core  {'ok' if pct < limit else 'OVER'}  ({note})")
    return "\n".join(lines)


def memory_text(m):
    if not m["ok"]:
        return f"Memory: FAILED ({m['note']})"
    verdict = "ok" if m["peak"] <= m["limit"] else "OVER"
    return (
        f"Memory: {m['command']}\n"
        f"  peak resident {m['peak'] / MIB:.1f} MiB, per-frame records {m['records'] / MIB:.1f} MiB "
        f"(1000000 x 48 bytes), {m['over'] / MIB:.1f} MiB above the records "
        f"(limit 16 MiB above): {verdict}"
    )


if __name__ == "__main__":
    main()
