#!/usr/bin/env bash
# The translator's job as whole processes, bipafs beside the ways it replaces, in one run, on
# one machine; every row is taken in turn (A B A B ...) with bench/pair_row.py.
#
#   - the job: `bipafs unpack`, an edit of a few files, `bipafs pack`, on an archive of
#     JOB_ENTRIES entries (default 900, half of them small .bip scripts, in subdirectories),
#     against the same job done with the three programs by the shell steps a translator ran
#     before bipafs (extract with swapfold, restore every container with uncrunchet, compress
#     the changed files back with crunchet, rebuild with swapfold and check the result);
#   - pack: `bipafs pack` of an archive of about JOB_BIG_MIB MiB (default 450) with a few
#     changed entries, against swapfold rebuilding it with the same replacements, each over an
#     existing output;
#   - peak memory (GNU time's maximum resident set) of unpack and pack of that archive,
#     beside its largest entry.
#
# Environment: BUILD_DIR (default build/release), JOB_ROUNDS (default 5 pairs), JOB_ENTRIES,
# JOB_BIG_MIB, SKIP_BIG=1 to leave out the large archive.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/release}
rounds=${JOB_ROUNDS:-5}
entries=${JOB_ENTRIES:-900}
big_mib=${JOB_BIG_MIB:-450}

cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j2 --target crunchet uncrunchet swapfold bipafs >/dev/null
bin=$(mktemp -d "${TMPDIR:-/tmp}/bipafs-job-XXXXXX")
trap 'rm -rf "$bin"' EXIT
for program in crunchet uncrunchet swapfold bipafs; do
    cp "$build/src/$program/$program" "$bin/"
done
cp "$root/scripts/bipafs-list" "$bin/"
export PATH="$bin:$PATH"
work=$bin/work
mkdir -p "$work"

# make_job_archive PATH COUNT SCALE: COUNT entries, half of them .bip containers of text
# (made by crunchet) of 1 to 24 KiB times SCALE, the rest binary data of 2 to 64 KiB times
# SCALE, in a handful of subdirectories with spaces in their names.
make_job_archive() {
    python3 - "$@" <<'PY'
import os, random, struct, subprocess, sys, tempfile
path, count, scale = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(7)
words = b"the of and to in is you that it he was for on are as with his they at be this".split()
text = b" ".join(random.choice(words) for _ in range(400000)) + b"\n"
pool = os.urandom((64 << 10) * scale + (1 << 20))
tmp = tempfile.mkdtemp()
data = []
for i in range(count):
    folder = ["script/day %d" % (i % 7), "menu", "sound fx", "image"][i % 4]
    if i % 2 == 0:
        size = random.randint(1 << 10, 24 << 10) * scale
        start = random.randrange(len(text) - size)
        src = os.path.join(tmp, "t")
        with open(src, "wb") as f:
            f.write(text[start:start + size])
        subprocess.run(["crunchet", src, src + ".bip"], check=True, stdout=subprocess.DEVNULL)
        with open(src + ".bip", "rb") as f:
            data.append(("%s/line%04d.txt.bip" % (folder, i), f.read()))
    else:
        size = random.randint(2 << 10, 64 << 10) * scale
        start = random.randrange(len(pool) - size)
        data.append(("%s/data%04d.bin" % (folder, i), pool[start:start + size]))
first = ((8 * (count + 2)) + 2047) // 2048 * 2048
table = bytearray(first)
table[0:4] = b"AFS\0"
struct.pack_into("<I", table, 4, count)
names = bytearray(48 * count)
with open(path, "wb") as f:
    f.seek(first)
    for i, (name, body) in enumerate(data):
        struct.pack_into("<II", table, 8 + 8 * i, f.tell(), len(body))
        f.write(body + bytes(-len(body) % 2048))
        names[48 * i:48 * i + 32] = name.encode().ljust(32, b"\0")
        struct.pack_into("<I", names, 48 * i + 44, len(body))
    struct.pack_into("<II", table, 8 + 8 * count, f.tell(), 48 * count)
    f.write(names + bytes(-len(names) % 2048))
    f.seek(0)
    f.write(table)
PY
}

# The shell steps of the job with the three programs, as translators ran them: extract,
# restore the containers, edit (`$1`, run in work/ and en/), compress the changed files back,
# rebuild and check. Run in a directory holding game.afs.
cat >"$bin/shell-job" <<'SH'
#!/bin/sh
set -e
rm -rf ja work en check names extract.log rebuild.log
bipafs-list -0 game.afs >names
mkdir ja
sed -zn '/\.\./d; /^\//d; s|^\(.*\)/[^/]*$|ja/\1|p' names | xargs -0 -r mkdir -p --
swapfold game.afs /dev/null "" ja >extract.log
mkdir work
find ja -type f -name '*.bip' -print0 |
  xargs -0 -n 1 -P "$(nproc)" sh -c 'f=${1#ja/}; mkdir -p "work/$(dirname "$f")" || exit 1
    msg=$(uncrunchet "$1" "work/${f%.bip}" 2>&1) && [ -z "$msg" ] ||
      { printf "%s\n" "${msg:-uncrunchet failed on $1}" >&2; exit 1; }' sh
mkdir -p en
eval "$1"
original=$(mktemp -d); trap 'rm -rf "$original"' EXIT; export original
find work -type f -print0 |
  xargs -0 -n 1 -P "$(nproc)" sh -c 'f=${1#work/}
    uncrunchet "ja/$f.bip" "$original/$$" || exit 1
    if cmp -s "$1" "$original/$$"; then rm -f "en/$f.bip"; exit 0; fi
    mkdir -p "en/$(dirname "$f")" && crunchet "$1" "en/$f.bip" >/dev/null || exit 1' sh
swapfold game.afs game.new.afs en >rebuild.log
mkdir check
bipafs-list -0 game.new.afs | sed -zn '/\.\./d; /^\//d; s|^\(.*\)/[^/]*$|check/\1|p' |
  xargs -0 -r mkdir -p --
swapfold game.new.afs /dev/null "" check >/dev/null
find en -type f -print0 | xargs -0 -n 1 sh -c 'f=${1#en/}
  [ -f "check/$f" ] && cmp -- "$1" "check/$f"' sh
SH
chmod +x "$bin/shell-job"

printf 'load before the run: %s\n' "$(uptime)"

# --- the job --------------------------------------------------------------------------------
make_job_archive "$work/game.afs" "$entries" 1
# The same edit both ways: five scripts and two binaries. `find` names the one file each.
edit_work='for n in 0000 0002 0004 0006 0008; do echo edited >> "$(find work -name "line$n.txt")"; done'
edit_en='for n in 0001 0003; do f=$(cd ja && find . -name "data$n.bin"); mkdir -p "en/${f%/*}";
printf changed > "en/$f"; done'
edit_dir='for n in 0000 0002 0004 0006 0008; do echo edited >> "$(find job -name "line$n.txt")";
done; for n in 0001 0003; do printf changed > "$(find job -name "data$n.bin")"; done'
export edit_work edit_en edit_dir bench_work=$work
# shellcheck disable=SC2016 # the commands expand the variables when they run
pair_row_args=(
    bipafs='cd "$bench_work" && rm -rf job && bipafs unpack game.afs job && eval "$edit_dir" &&
        bipafs pack job new.afs'
    'shell steps=cd "$bench_work" && shell-job "$edit_work; $edit_en"')
printf '\n'
python3 "$root/bench/pair_row.py" "the job: unpack, edit 7 files, pack, on $entries entries \
($(stat -c %s "$work/game.afs") bytes)" "$rounds" run 1 "${pair_row_args[@]}"
cmp -s "$work/new.afs" "$work/game.new.afs" && echo "  the two jobs' archives: identical" ||
    echo "  the two jobs' archives differ" >&2
rm -rf "$work"/*

# --- pack of a large archive ----------------------------------------------------------------
if [ "${SKIP_BIG:-0}" != 1 ]; then
    scale=$((big_mib * 1024 / (entries * 35 / 2) + 1))
    make_job_archive "$work/big.afs" "$entries" "$scale"
    (cd "$work" && bipafs unpack big.afs job >/dev/null)
    # Three binaries changed, the same files for both.
    mkdir -p "$work/en"
    for n in $(printf '%04d ' 1 $((entries / 3 | 1)) $((2 * entries / 3 | 1))); do
        f=$(cd "$work/job" && find . -name "data$n.bin")
        head -c 100000 /dev/urandom >"$work/job/$f"
        mkdir -p "$work/en/${f%/*}"
        cp "$work/job/$f" "$work/en/$f"
    done
    cat "$work/big.afs" >/dev/null
    # shellcheck disable=SC2016
    pack_row=(
        pack='cd "$bench_work" && bipafs pack job new.afs'
        'swapfold=cd "$bench_work" && swapfold big.afs rebuilt.afs en')
    printf '\n'
    python3 "$root/bench/pair_row.py" "pack: $(stat -c %s "$work/big.afs") bytes, $entries \
entries, 3 changed, over an existing output" "$rounds" run 1 "${pack_row[@]}"
    cmp -s "$work/new.afs" "$work/rebuilt.afs" && echo "  the two archives: identical" ||
        echo "  the two archives differ" >&2
    if /usr/bin/time -f %M true >/dev/null 2>&1; then
        largest=$(cd "$work" && bipafs list big.afs | awk '$1 != "-" && $1 > m {m = $1} END {print m}')
        unpack_kib=$(cd "$work" && rm -rf again && /usr/bin/time -f %M bipafs unpack big.afs again \
            2>&1 >/dev/null | tail -1)
        pack_kib=$(cd "$work" && /usr/bin/time -f %M bipafs pack job new.afs 2>&1 >/dev/null | tail -1)
        printf '  peak memory: unpack %s KiB, pack %s KiB; largest entry %s bytes\n' \
            "$unpack_kib" "$pack_kib" "$largest"
    fi
fi
printf 'load after the run: %s\n' "$(uptime)"
