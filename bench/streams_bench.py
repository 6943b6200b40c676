#!/usr/bin/env python3
"""Benchmarks of ordavi-streams (never part of ctest; run as root).

accuracy  On a loop device throttled with the blkio cgroup to B MiB/s, 1 MiB
          frames at 10 fps (10 MiB/s a stream): the search's answer for read
          and for write against floor(B / 10), at two values of B.
overhead  N read streams through ordavi-streams against the same N ordavi
          command lines started together by one shell, on the same frames,
          paced above what the disk carries so that both are storage-bound:
          the ratio of their aggregate MiB/s (each stream's own log figure).
scale     A write search with small frames up to --scale-limit streams: the
          answer, the coordinator's peak memory and the time per probe.

Usage: bench/streams_bench.py [--build build] [--dir /var/tmp] [--only accuracy|overhead|scale]
"""
import argparse
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile


def sh(cmd, **kw):
    return subprocess.run(cmd, shell=True, check=True, capture_output=True, text=True, **kw)


def streams(args, build, cgroup=None):
    cmd = [os.path.join(build, "ordavi-streams")] + args
    pre = None
    if cgroup:
        pre = lambda: open(os.path.join(cgroup, "cgroup.procs"), "w").write(str(os.getpid()))
    r = subprocess.run(cmd, capture_output=True, text=True, preexec_fn=pre)
    if r.returncode != 0:
        sys.exit("ordavi-streams failed (%d): %s" % (r.returncode, r.stderr))
    return json.loads(r.stdout), r.stderr


def accuracy(a):
    work = tempfile.mkdtemp(dir=a.dir, prefix="streams-bench.")
    image, mnt = os.path.join(work, "image"), os.path.join(work, "mnt")
    os.mkdir(mnt)
    sh("truncate -s 3G %s && mkfs.ext4 -q -F -m 0 %s" % (image, image))
    dev = sh("losetup -f --show %s" % image).stdout.strip()
    cg = "/sys/fs/cgroup/blkio/ordavi_streams_bench_%d" % os.getpid()
    try:
        sh("mount %s %s" % (dev, mnt))
        st = os.stat(dev)
        majmin = "%d:%d" % (os.major(st.st_rdev), os.minor(st.st_rdev))
        os.mkdir(cg)
        print("%-6s %8s %8s %8s %7s  %s" % ("dir", "B MiB/s", "floor", "answer", "probes", "verdict"))
        for b in a.throttles:
            for io in ("read", "write"):
                open(os.path.join(cg, "blkio.throttle.%s_bps_device" % io), "w").write(
                    "%s %d" % (majmin, b * 1048576))
            for d in ("read", "write"):
                doc, err = streams(["--size", "1024", "--rate", "10", "--duration", str(a.duration),
                                    "--max", d, "--limit", "16", "--json", "-", mnt], a.build, cg)
                ans, floor = doc["answer"]["streams"], b // 10
                ok = ans in (floor, floor - 1)
                print("%-6s %8d %8d %8d %7d  %s" % (d, b, floor, ans, len(doc["probes"]),
                                                    "ok" if ok else "OFF"), flush=True)
    finally:
        subprocess.run("umount -l %s" % mnt, shell=True)
        subprocess.run("losetup -d %s" % dev, shell=True)
        if os.path.isdir(cg):
            os.rmdir(cg)
        shutil.rmtree(work, ignore_errors=True)


def log_mibps(path):
    m = re.search(r"^Bandwidth,([0-9.]+),", open(path).read(), re.M)
    return float(m.group(1))


def overhead(a):
    work = tempfile.mkdtemp(dir=a.dir, prefix="streams-bench.")
    n, size, rate = a.streams, a.size, 100
    base = ["--size", str(size), "--rate", str(rate), "--duration", str(a.overhead_duration), "--keep"]
    try:
        ratios = []
        for rnd in range(a.rounds):
            subprocess.run("sync; echo 3 > /proc/sys/vm/drop_caches", shell=True)
            doc, _ = streams(base + ["--read", str(n), "--json", "-", work], a.build)
            via = sum(s["mib_per_s"] for s in doc["probes"][0]["per_stream"])
            # The same command lines, started together by one shell.
            frames = doc["parameters"]["frames_per_stream"]
            logs = os.path.join(work, "plain")
            os.makedirs(logs, exist_ok=True)
            lines = []
            for i in range(n):
                lines.append("%s -u 0 --noinfo -f %d -n %d -x %s/read.%d.csv -r -z %d %s "
                             ">/dev/null &" % (os.path.join(a.build, "ordavi"), rate, frames, logs,
                                               i, size, os.path.join(work, "ordavi-streams/read/rank%04d" % i)))
            subprocess.run("sync; echo 3 > /proc/sys/vm/drop_caches", shell=True)
            sh("\n".join(lines) + "\nwait")
            plain = sum(log_mibps(p) for p in glob.glob(logs + "/*.csv"))
            ratios.append(via / plain)
            print("round %d: via ordavi-streams %.1f MiB/s, plain %.1f MiB/s, ratio %.3f" %
                  (rnd + 1, via, plain, via / plain), flush=True)
        print("overhead: %d streams of %d KB at %d fps, median ratio %.3f (%.3f to %.3f)" %
              (n, size, rate, statistics.median(ratios), min(ratios), max(ratios)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def scale(a):
    work = tempfile.mkdtemp(dir=a.dir, prefix="streams-bench.")
    try:
        r = subprocess.run(["/usr/bin/time", "-f", "%M %e", os.path.join(a.build, "ordavi-streams"),
                            "--size", "64", "--rate", "10", "--duration", "3", "--max", "write",
                            "--limit", str(a.scale_limit), "--json", "-", work],
                           capture_output=True, text=True)
        doc = json.loads(r.stdout)
        kb, secs = r.stderr.strip().splitlines()[-1].split()
        print("scale: answer %d write streams (limit %d), %d probes, %.1f s in all" %
              (doc["answer"]["streams"], a.scale_limit, len(doc["probes"]), float(secs)))
        for p in doc["probes"]:
            print("  probe %2d: %3d streams %-4s %5.1f s  spread %.1f ms" %
                  (p["probe"], p["streams"], "pass" if p["passed"] else "FAIL", p["seconds"],
                   p["start_spread_ms"] or 0))
        print("coordinator peak RSS %s KiB (%.1f s in all)" % (kb, float(secs)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default="build")
    p.add_argument("--dir", default="/var/tmp")
    p.add_argument("--only", choices=["accuracy", "overhead", "scale"])
    p.add_argument("--throttles", type=int, nargs=2, default=[35, 62])
    p.add_argument("--duration", type=int, default=10)
    p.add_argument("--streams", type=int, default=4)
    p.add_argument("--size", type=int, default=2048)
    p.add_argument("--overhead-duration", type=int, default=3)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--scale-limit", type=int, default=128)
    a = p.parse_args()
    for name, fn in (("accuracy", accuracy), ("overhead", overhead), ("scale", scale)):
        if a.only in (None, name):
            print("== %s" % name, flush=True)
            fn(a)


if __name__ == "__main__":
    main()
