#!/usr/bin/env python3
# Times commands taken in turn (A B A B ...), after one unmeasured round, and prints each
# one's median wall and processor time (user + system of its whole process tree, from wait4)
# and the median of the rounds' own ratios of the first command's time to each other's.
#
#   pair_row.py TITLE ROUNDS UNIT UNITS NAME=COMMAND...
#
# Each COMMAND runs under bash -c with standard input and output on /dev/null; one that
# fails stops the row. Times are per UNIT, of which each run does UNITS (1: seconds per run).
import os, statistics, sys, time
title, rounds, unit, units = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
commands = [arg.split("=", 1) for arg in sys.argv[5:]]
def run(command):
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        quiet = os.open(os.devnull, os.O_RDWR)
        os.dup2(quiet, 0)
        os.dup2(quiet, 1)
        os.execv("/bin/bash", ["bash", "-c", command])
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit(f"{title}: failed: {command}")
    return wall, max(usage.ru_utime + usage.ru_stime, 1e-6)
for _, command in commands:
    run(command)
times = {name: [] for name, _ in commands}
for _ in range(rounds):
    for name, command in commands:
        times[name].append(run(command))
scale, per = (1.0, "s") if units == 1 else (1000.0 / units, "ms")
print(f"{title}; {rounds} pairs taken in turn")
for name, _ in commands:
    wall = statistics.median(t[0] for t in times[name]) * scale
    cpu = statistics.median(t[1] for t in times[name]) * scale
    print(f"  {name:<24} {wall:9.4f} {per} wall {cpu:9.4f} {per} cpu per {unit} (medians)")
first, ours = commands[0][0], times[commands[0][0]]
for name, _ in commands[1:]:
    wall = statistics.median(u[0] / t[0] for t, u in zip(times[name], ours))
    cpu = statistics.median(u[1] / t[1] for t, u in zip(times[name], ours))
    print(f"  {first} / {name}: time {wall:.2f} wall, {cpu:.2f} cpu (median of pair ratios)")
