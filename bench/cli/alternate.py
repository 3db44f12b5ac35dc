#!/usr/bin/env python3
"""Times whole processes in alternation, so that a machine shared with other work slows every
contender alike, and prints each one's median wall, user and system time, and how many times
slower than the first command the others are (median wall over median wall).

Usage: alternate.py [-r RUNS] [-w WARMUP] NAME COMMAND [NAME COMMAND ...]
The last line reads "ratios: NAME=R ..." for the scripts that gather them."""
import argparse
import os
import shlex
import statistics
import sys
import time


def run_once(argv):
    """Wall, user and system seconds of one run, output discarded."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.sync()  # the last run's dirty pages are not left to be written back during this one
        start = time.perf_counter()
        pid = os.posix_spawnp(argv[0], argv, os.environ,
                              file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    finally:
        os.close(devnull)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {shlex.join(argv)}")
    return wall, usage.ru_utime, usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-r", "--runs", type=int, default=15)
    parser.add_argument("-w", "--warmup", type=int, default=2)
    parser.add_argument("pairs", nargs="+")
    args = parser.parse_args()
    if len(args.pairs) % 2:
        parser.error("give NAME COMMAND pairs")
    names = args.pairs[0::2]
    commands = [shlex.split(c) for c in args.pairs[1::2]]
    for _ in range(args.warmup):
        for argv in commands:
            run_once(argv)
    samples = {name: [] for name in names}
    for _ in range(args.runs):
        for name, argv in zip(names, commands):
            samples[name].append(run_once(argv))
    medians = {}
    for name in names:
        wall, user, system = zip(*samples[name])
        medians[name] = statistics.median(wall)
        print(f"  {name:10} median {medians[name] * 1e3:7.1f} ms  (min {min(wall) * 1e3:7.1f}, "
              f"max {max(wall) * 1e3:7.1f})  user {statistics.median(user) * 1e3:6.1f} ms  "
              f"sys {statistics.median(system) * 1e3:6.1f} ms")
    first = names[0]
    ratios = " ".join(f"{n}={medians[n] / medians[first]:.2f}" for n in names[1:])
    print(f"  {args.runs} alternating runs; {first} is faster by: {ratios}")
    print(f"ratios: {ratios}")


if __name__ == "__main__":
    main()
