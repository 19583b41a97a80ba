"""The Python module against kx on the benchmark container, as ratios of one run:
  - dz.test_all(jobs) against kx test -j JOBS (wall and processor time);
  - every output read as bytes (dz.read_outputs) against kx extract --stdout to /dev/null;
  - the peak resident memory of reading the largest entry through dz.open_entry.
Each measure runs in a process of its own, the best of --rounds; the Python ones include the
interpreter's start and the container's opening.

    python3 bench/python_bench.py --module build-python/python --kx build-bench/kx \\
        --container build-bench/bench-data/firmware.dz [--jobs 2] [--rounds 3]
"""

import argparse
import os
import resource
import subprocess
import sys
import time

TEST_ALL = """
import sys, kestrix
with kestrix.open(sys.argv[1]) as dz:
    assert all(dz.test_all(jobs=int(sys.argv[2])))
"""

READ_ALL = """
import sys, kestrix
with kestrix.open(sys.argv[1]) as dz:
    total = sum(len(data) for _, data in dz.read_outputs(jobs=int(sys.argv[2])))
"""

STREAM_LARGEST = """
import resource, sys, kestrix
with kestrix.open(sys.argv[1]) as dz:
    largest = max(dz, key=lambda entry: entry.packed_size)
    total = 0
    with dz.open_entry(largest) as stream:
        while block := stream.read(1 << 20):
            total += len(block)
print(total, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def measure(command, env=None, stdout=subprocess.DEVNULL):
    """Wall seconds, processor seconds and output of one run of `command`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(command, env=env, stdout=stdout, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, done.stdout


def best(rounds, command, env=None):
    runs = [measure(command, env)[:2] for _ in range(rounds)]
    return min(run[0] for run in runs), min(run[1] for run in runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", required=True, help="the folder that holds the package")
    parser.add_argument("--kx", required=True)
    parser.add_argument("--container", required=True)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=os.path.abspath(args.module))
    python = [sys.executable, "-c"]
    jobs = str(args.jobs)

    rows = []
    kx_test = best(args.rounds, [args.kx, "test", "-q", "-j", jobs, args.container])
    test_all = best(args.rounds, python + [TEST_ALL, args.container, jobs], env)
    rows.append(("dz.test_all / kx test", test_all, kx_test, "cpu <= 1.1"))
    kx_stdout = best(args.rounds, [args.kx, "extract", "-q", "-j", jobs, "--stdout",
                                   args.container])
    read_all = best(args.rounds, python + [READ_ALL, args.container, jobs], env)
    rows.append(("dz.read_outputs / kx extract --stdout", read_all, kx_stdout,
                 "wall <= 1.2"))

    print(f"Python module against kx, {args.jobs} jobs, best of {args.rounds} rounds")
    print(f"{'measure':<48} {'wall':>7} {'cpu':>7}   goal")
    for name, (wall, cpu), (base_wall, base_cpu), goal in rows:
        print(f"{name:<48} {wall / base_wall:7.3f} {cpu / base_cpu:7.3f}   {goal}")
    _, _, out = measure(python + [STREAM_LARGEST, args.container], env, subprocess.PIPE)
    size, peak = (int(value) for value in out.split())
    print(f"dz.open_entry of the largest entry ({size >> 20} MiB): peak resident "
          f"{peak / 1024:.1f} MiB (goal < 64 MiB)")


if __name__ == "__main__":
    main()
