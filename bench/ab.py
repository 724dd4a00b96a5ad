#!/usr/bin/env python3
"""Interleaved A/B of whole processes, for differences of a few per cent.

    bench/ab.py ROUNDS CORPUS_DIR DATA[,DATA...] NAME=PROGRAM [NAME=PROGRAM ...]

For each data set, each round runs every program once, in turn, the order rotated from round
to round, and records its processor time (user + system, from wait4). Prints the median per
program and its ratio to the first program's, and checks that the programs given as paths
(crunchet builds, run as `PROGRAM in out`) wrote identical streams. A PROGRAM with spaces
(`gzip -6 -c`) is run as a filter, from the input to a file. bench/ab_corpus.sh writes
compare.sh's corpus into a directory.
"""
import filecmp
import os
import statistics
import sys
import tempfile


def run(command, src, dst):
    if " " in command:
        argv = command.split()
        stdin = os.open(src, os.O_RDONLY)
        stdout = os.open(dst, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    else:
        argv = [command, src, dst]
        stdin = os.open(os.devnull, os.O_RDONLY)
        stdout = os.open(os.devnull, os.O_WRONLY)
    pid = os.fork()
    if pid == 0:
        os.dup2(stdin, 0)
        os.dup2(stdout, 1)
        os.execvp(argv[0], argv)
    os.close(stdin)
    os.close(stdout)
    _, status, usage = os.wait4(pid, 0)
    if status != 0:
        sys.exit(f"{command} failed on {src}")
    return usage.ru_utime + usage.ru_stime


def main():
    rounds, corpus, datasets = int(sys.argv[1]), sys.argv[2], sys.argv[3].split(",")
    programs = [arg.split("=", 1) for arg in sys.argv[4:]]
    work = tempfile.mkdtemp(prefix="bipafs-ab-")
    print(f"{rounds} rounds; median processor time in ms, and its ratio to {programs[0][0]}")
    print(f"{'data':<16}" + "".join(f"{name:>18}" for name, _ in programs))
    for data in datasets:
        src = os.path.join(corpus, data)
        times = {name: [] for name, _ in programs}
        for r in range(rounds):
            turn = r % len(programs)
            for name, command in programs[turn:] + programs[:turn]:
                times[name].append(run(command, src, os.path.join(work, name)))
        streams = [os.path.join(work, name) for name, command in programs if " " not in command]
        same = all(filecmp.cmp(streams[0], s, shallow=False) for s in streams[1:])
        base = statistics.median(times[programs[0][0]])
        cells = []
        for name, _ in programs:
            median = statistics.median(times[name])
            cells.append(f"{median * 1000:9.1f} {median / base:6.3f}x")
        print(f"{data:<16}" + "".join(f"{c:>18}" for c in cells) +
              ("" if same else "   STREAMS DIFFER"), flush=True)
        for name, _ in programs:
            os.remove(os.path.join(work, name))
    os.rmdir(work)


main()
