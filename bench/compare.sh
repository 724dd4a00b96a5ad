#!/usr/bin/env bash
# Whole-process timings of crunchet, uncrunchet and swapfold side by side with the tools a
# user already knows, in one run, on one machine.
#
# Builds a Release build, gathers a corpus of about 12 MB from files on this machine (text,
# executables, images) plus synthetic worst cases (random, all zero, period 2), and times
# each tool several times on each file; the median is reported, with the median processor
# time (user + system, all threads) beside it. Peak memory is the maximum resident set size
# reported by /usr/bin/time -f %M.
#
# Every comparison with a peer is taken from runs in turn (A B A B ...), compared pair by
# pair: each row gives the median of the rounds' own ratios of our time to the peer's, in
# wall time and in processor time (user + system of the whole process tree, from wait4),
# below 1 where ours is faster. The rows (pair_row, one unmeasured round first, so that every
# measured run writes over the outputs of the run before it):
#   - encoder: crunchet against the plain reference encoder and gzip -6 (mixed and random);
#   - decoder: uncrunchet against gzip -d, zstd -d and lz4 -d (every data set; printed as
#     how many times faster uncrunchet is);
#   - rebuild: swapfold rebuilding an archive of 2048 entries of about ARCHIVE_MIB MiB in all,
#     no replacements, over an existing out.afs, against `cat in.afs > out.afs` over an
#     existing file;
#   - extraction: swapfold writing SMALL_ENTRIES entries of 200-6000 bytes as files into an
#     existing ja/ against `tar -xf` of a tar of the same files into an existing directory
#     (the tar made from swapfold's files with tar -cf); swapfold also writes its rebuilt
#     archive, given as /dev/null; beside it, the file-system work alone of writing as many
#     files over existing ones, the tools' way against tar's and a named temporary file's
#     (bench/output_sequences);
#   - small files: SMALL_FILES files of SMALL_SIZE bytes of text, one process per file, over
#     existing outputs: crunchet against gzip -6, uncrunchet against gzip -d, with the same
#     loop running /bin/true as a peer to show what the loop and a process start cost.
#     SMALL_BIN names a directory whose crunchet and uncrunchet are timed there instead of
#     the build's (an install's bin/, an unpacked package's usr/bin). The codec's time per
#     call in memory on the same files (lzss_calls) is set beside zlib's.
#
# With BEFORE set to a commit, that commit's programs are built too (in a worktree, with the
# extra CMake arguments in BEFORE_CMAKE_ARGS, such as -DBIPAFS_SPLIT_KEY=ON to set the encoder's
# two-halves key beside its 128-bit one), timed as the "-before" rows of the corpus table and
# as one more peer in each pair row above but the decoder's.
#
# Environment: BUILD_DIR (default build/release), RUNS (default 5: runs per corpus figure,
# pairs of the encoder, decoder and extraction rows), ARCHIVE_RUNS (default 15: pairs of the
# rebuild row), ARCHIVE_MIB (default 1024), SKIP_ARCHIVE=1 to leave out the rebuild row,
# SMALL_ENTRIES (default 66000), SKIP_EXTRACT=1 to leave out the extraction row, SKIP_CORPUS=1
# to leave out the corpus rows (only swapfold is then built), DATASETS to time only some of
# the corpus's data sets (default: all), BEFORE (default: none), SKIP_DEGENERATE=1 to leave out
# the rows of sorted data, SMALL_FILES (default 400), SMALL_SIZE (default 4096), SMALL_ROUNDS
# (pairs, default 7, at least 5), SMALL_BIN (default: the build's), SKIP_SMALL=1 to leave out
# the small files.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/release}
runs=${RUNS:-5}
archive_runs=${ARCHIVE_RUNS:-15}
archive_mib=${ARCHIVE_MIB:-1024}

cmake --preset release -B "$build" >/dev/null
skip_corpus=${SKIP_CORPUS:-0}
targets="crunchet uncrunchet swapfold crunchet_reference output_sequences"
[ "$skip_corpus" = 1 ] && targets="swapfold output_sequences"
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets >/dev/null

crunchet=$build/src/crunchet/crunchet
uncrunchet=$build/src/uncrunchet/uncrunchet
swapfold=$build/src/swapfold/swapfold
reference=$build/bench/crunchet_reference
sequences=$build/bench/output_sequences

work=$(mktemp -d "${TMPDIR:-/tmp}/bipafs-compare-XXXXXX")
before=${BEFORE:-}
cleanup() {
    if [ -n "$before" ]; then git -C "$root" worktree remove --force "$work/before" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

if [ -n "$before" ]; then
    git -C "$root" worktree add --detach "$work/before" "$before" >/dev/null 2>&1
    # shellcheck disable=SC2086 # BEFORE_CMAKE_ARGS is split into its words
    cmake -S "$work/before" -B "$work/before/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBIPAFS_BUILD_TESTS=OFF ${BEFORE_CMAKE_ARGS:-} >/dev/null
    cmake --build "$work/before/build" -j2 --target crunchet uncrunchet swapfold >/dev/null
    crunchet_before=$work/before/build/src/crunchet/crunchet
    uncrunchet_before=$work/before/build/src/uncrunchet/uncrunchet
    swapfold_before=$work/before/build/src/swapfold/swapfold
fi
# The commands pair_row runs read the programs and the work directory from the environment.
export bench_work=$work bench_crunchet=$crunchet bench_uncrunchet=$uncrunchet \
    bench_swapfold=$swapfold bench_reference=$reference bench_sequences=$sequences \
    bench_crunchet_before=${crunchet_before:-} bench_uncrunchet_before=${uncrunchet_before:-} \
    bench_swapfold_before=${swapfold_before:-}

# --- corpus ---------------------------------------------------------------------------------

# Appends files matching a find expression to $1 until it holds $2 bytes.
gather() {
    local out=$1 limit=$2
    shift 2
    : >"$out"
    while IFS= read -r -d '' f; do
        [ "$(stat -c %s "$out")" -ge "$limit" ] && break
        cat "$f" >>"$out" 2>/dev/null || true
    done < <(find "$@" -print0 2>/dev/null | sort -z)
    truncate -s "$limit" "$out"
}

mib=$((1024 * 1024))
datasets=${DATASETS:-mixed text code images raw_image random zeros period2}
[ "$skip_corpus" = 1 ] && datasets=""
if [ -n "$datasets" ]; then
gather "$work/text" $((4 * mib)) /usr/share/vim /usr/share/common-licenses /usr/share/doc \
    -type f \( -name '*.txt' -o -name 'GPL*' -o -name 'README*' -o -name 'copyright' \)
gather "$work/code" $((4 * mib)) /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f \
    -size +500k -perm -u+x
gather "$work/images" $((2 * mib)) /usr/share -type f \( -name '*.png' -o -name '*.jpg' \)
# Uncompressed image data, as game textures mostly are: gradients, flat shapes and noise.
python3 - "$work/raw_image" $((2 * mib)) <<'PY'
import random, sys
path, size = sys.argv[1], int(sys.argv[2])
random.seed(5)
out = bytearray()
width = 512
while len(out) < size:
    p = len(out) // 3
    x, y = p % width, p // width
    n = random.randrange(4)
    if (x // 64 + y // 48) % 3 == 0:
        out += bytes((200, 40, 90))
    else:
        out += bytes(((x // 2 + n) & 255, (y // 3 + n) & 255, ((x + y) // 4) & 255))
open(path, "wb").write(out[:size])
PY
cat "$work/text" "$work/code" "$work/images" "$work/raw_image" >"$work/mixed"
head -c $((4 * mib)) /dev/urandom >"$work/random"
head -c $((4 * mib)) /dev/zero >"$work/zeros"
yes 'AB' | tr -d '\n' | head -c $((4 * mib)) >"$work/period2" || true
fi

# --- timing ---------------------------------------------------------------------------------

# Runs "$@" once with standard output to $out_file, adding its time in nanoseconds, its peak
# memory and its processor time (user + system, all threads) to the lists named by $1, $2
# and $1_cpus.
out_file=/dev/null
run_once() {
    local -n times_=$1 peaks_=$2 cpus_=$1_cpus
    shift 2
    local t0 t1
    t0=$(date +%s%N)
    /usr/bin/time -f '%M %U %S' -o "$work/mem" "$@" >"$out_file"
    t1=$(date +%s%N)
    times_+=($((t1 - t0)))
    local peak user system
    read -r peak user system < <(tail -n 1 "$work/mem")
    peaks_+=("$peak")
    cpus_+=("$(awk -v u="$user" -v s="$system" 'BEGIN {printf "%.2f", u + s}')")
}

# The median of the numbers given, one per argument.
median_of() {
    printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

# Sets median_s, cpu_s (median processor time) and peak_kib from the lists named by $1, $2
# and $1_cpus, and empties the last.
summarise() {
    # shellcheck disable=SC2178 # names of the caller's arrays
    local -n times_=$1 peaks_=$2 cpus_=$1_cpus
    cpu_s=$(median_of "${cpus_[@]}")
    cpus_=()
    median_s=$(awk -v ns="$(median_of "${times_[@]}")" 'BEGIN {printf "%.4f", ns / 1e9}')
    peak_kib=$(printf '%s\n' "${peaks_[@]}" | sort -n | tail -n 1)
}

# Runs "$@" $runs times; sets median_s and peak_kib.
measure() {
    # shellcheck disable=SC2034 # filled by run_once through their names
    local times=() peaks=()
    for _ in $(seq "$runs"); do run_once times peaks "$@"; done
    summarise times peaks
}

# uncrunchet, gzip -d, zstd -d and lz4 -d on one data set's containers, run in turn round by
# round, $runs rounds; sets decoder_pairs[$1] to how many times faster uncrunchet is than each,
# in wall time and in processor time (user + system, from wait4): each figure the median of
# the rounds' own ratios.
declare -A decoder_pairs encoder_pairs
pair_decoders() { # data
    decoder_pairs[$1]=$(python3 - "$runs" "$uncrunchet" "$work/$1" <<'PY'
import os, statistics, sys, time
rounds, uncrunchet, base = int(sys.argv[1]), sys.argv[2], sys.argv[3]
tools = {
    "uncrunchet": ([uncrunchet, base + ".bip", base + ".restored"], os.devnull),
    "gzip -d": (["gzip", "-d", "-c", base + ".gz6"], base + ".gunzipped"),
    "zstd -d": (["zstd", "-d", "-q", "-c", base + ".zst"], base + ".unzstd"),
    "lz4 -d": (["lz4", "-d", "-q", "-c", base + ".lz4"], base + ".unlz4"),
}
def run(argv, out):
    fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        os.dup2(fd, 1)
        os.execvp(argv[0], argv)
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    os.close(fd)
    if status != 0:
        sys.exit(f"{argv[0]} failed")
    return wall, max(usage.ru_utime + usage.ru_stime, 1e-6)
times = {name: [] for name in tools}
for _ in range(rounds):
    for name, (argv, out) in tools.items():
        times[name].append(run(argv, out))
ours = times["uncrunchet"]
cells = []
for name in ("gzip -d", "zstd -d", "lz4 -d"):
    wall = statistics.median(t[0] / u[0] for t, u in zip(times[name], ours))
    cpu = statistics.median(t[1] / u[1] for t, u in zip(times[name], ours))
    cells.append(f"/ {name} {wall:.2f} wall, {cpu:.2f} cpu")
print(", ".join(cells))
PY
)
}

# Times the commands given as NAME=COMMAND, each run by bash -c, in turn round by round
# (A B C A B C ...), after one unmeasured round that leaves each command's outputs in place,
# so that every measured run writes over existing outputs; standard input and output are
# /dev/null unless a command redirects them. Prints each command's median wall
# and processor time (user + system of the whole process tree, from wait4) per UNIT, each
# run making UNITS units, then the first command's time over each other's: the median
# of the rounds' own ratios, wall and cpu (below 1: the first is faster).
pair_row() { # title rounds unit units NAME=COMMAND...
    python3 "$root/bench/pair_row.py" "$@"
}

row() { # label data bytes compressed_bytes
    local label=$1 data=$2 bytes=$3 packed=$4
    local mbs ratio
    mbs=$(awk -v b="$bytes" -v s="$median_s" 'BEGIN {printf "%.1f", b / 1e6 / s}')
    ratio=$(awk -v c="$packed" -v b="$bytes" 'BEGIN {printf "%.3f", c / b}')
    printf '%-22s %-9s %9s %8s %6s %9s %10s\n' "$label" "$data" "$mbs" "$median_s" "$cpu_s" \
        "$ratio" "$peak_kib"
}

printf 'load before the run: %s\n' "$(uptime)"
printf 'runs per figure: %s (median)\n' "$runs"
[ -n "$before" ] && printf -- '-before rows: commit %s\n' "$(git -C "$root" rev-parse --short "$before")"
[ -n "$datasets" ] && printf '\n%-22s %-9s %9s %8s %6s %9s %10s\n' tool data 'MB/s' \
    'median s' 'cpu s' 'out/in' 'peak KiB'

for data in $datasets; do
    in=$work/$data
    bytes=$(stat -c %s "$in")

    out_file=/dev/null
    measure "$crunchet" "$in" "$work/$data.bip"
    row crunchet "$data" "$bytes" "$(stat -c %s "$work/$data.bip")"
    if [ -n "$before" ]; then
        measure "$crunchet_before" "$in" "$work/$data.before.bip"
        row crunchet-before "$data" "$bytes" "$(stat -c %s "$work/$data.before.bip")"
        cmp -s "$work/$data.bip" "$work/$data.before.bip" ||
            { echo "streams differ from the earlier commit's on $data" >&2; exit 1; }
    fi
    measure "$reference" "$in" "$work/$data.ref.bip"
    row crunchet-reference "$data" "$bytes" "$(stat -c %s "$work/$data.ref.bip")"
    cmp -s "$work/$data.bip" "$work/$data.ref.bip" || { echo "streams differ on $data" >&2; exit 1; }

    out_file=$work/$data.gz6
    measure gzip -6 -c "$in"
    row 'gzip -6' "$data" "$bytes" "$(stat -c %s "$work/$data.gz6")"
    out_file=$work/$data.gz1
    measure gzip -1 -c "$in"
    row 'gzip -1' "$data" "$bytes" "$(stat -c %s "$work/$data.gz1")"
    out_file=$work/$data.zst
    measure zstd -3 -q -c "$in"
    row 'zstd -3' "$data" "$bytes" "$(stat -c %s "$work/$data.zst")"
    out_file=$work/$data.lz4
    measure lz4 -q -c "$in"
    row lz4 "$data" "$bytes" "$(stat -c %s "$work/$data.lz4")"

    out_file=/dev/null
    measure "$uncrunchet" "$work/$data.bip" "$work/$data.restored"
    cmp -s "$in" "$work/$data.restored" || { echo "uncrunchet did not restore $data" >&2; exit 1; }
    row uncrunchet "$data" "$bytes" "$(stat -c %s "$work/$data.bip")"
    if [ -n "$before" ]; then
        measure "$uncrunchet_before" "$work/$data.bip" "$work/$data.restored"
        row uncrunchet-before "$data" "$bytes" "$(stat -c %s "$work/$data.bip")"
    fi
    out_file=$work/$data.gunzipped
    measure gzip -d -c "$work/$data.gz6"
    row 'gzip -d' "$data" "$bytes" "$(stat -c %s "$work/$data.gz6")"
    out_file=$work/$data.unzstd
    measure zstd -d -q -c "$work/$data.zst"
    row 'zstd -d' "$data" "$bytes" "$(stat -c %s "$work/$data.zst")"
    out_file=$work/$data.unlz4
    measure lz4 -d -q -c "$work/$data.lz4"
    row 'lz4 -d' "$data" "$bytes" "$(stat -c %s "$work/$data.lz4")"
    pair_decoders "$data"
    case $data in
    mixed | random)
        export bench_in=$in
        # shellcheck disable=SC2016 # the commands expand the variables when they run
        encoder=(crunchet='"$bench_crunchet" "$bench_in" "$bench_work"/enc.bip'
            crunchet-reference='"$bench_reference" "$bench_in" "$bench_work"/enc.ref.bip'
            'gzip -6=gzip -6 -c "$bench_in" >"$bench_work"/enc.gz')
        # shellcheck disable=SC2016
        [ -n "$before" ] &&
            encoder+=(crunchet-before='"$bench_crunchet_before" "$bench_in" \
                "$bench_work"/enc.0.bip')
        encoder_pairs[$data]=$(pair_row "encoder, $data ($bytes bytes)" "$runs" run 1 \
            "${encoder[@]}")
        ;;
    esac
    rm -f "$work/$data".* "$work"/enc.*
done

# --- degenerate inputs ----------------------------------------------------------------------

# Sorted data, on which plain search trees become chains: each 1 MiB input timed as a whole
# process beside 1 MiB of random bytes, with the ratio to that. The encoder's cost per byte
# should not depend on the data's shape.
if [ "${SKIP_DEGENERATE:-0}" != 1 ] && [ "$skip_corpus" != 1 ]; then
    python3 - "$work" <<'PY'
import os, random, re, struct, sys
work, n = sys.argv[1], 1 << 20
def put(name, data):
    open(os.path.join(work, "deg_" + name), "wb").write(data[:n])
random.seed(7)
put("random", bytes(random.getrandbits(8) for _ in range(n)))
put("counters", b"".join(struct.pack(">I", 4 * i) for i in range(n // 4)))
put("descending", b"".join(struct.pack(">I", 0xFFFFFFFF - 4 * i) for i in range(n // 4)))
put("id_pairs", b"".join(struct.pack(">HH", (3 * i) & 0xFFFF, 7) for i in range(n // 4)))
words = sorted(set(re.findall(rb"[A-Za-z]{2,}", open(os.path.join(work, "text"), "rb").read())))
listing = b"\n".join(words) + b"\n"
put("sorted_words", listing * (n // len(listing) + 1))
PY
    printf '\n%-22s %-13s %8s %6s %10s\n' tool 'data (1 MiB)' 'median s' 'cpu s' 'x random'
    declare -A deg_base
    for data in random counters descending id_pairs sorted_words; do
        in=$work/deg_$data
        tools=(crunchet)
        [ -n "$before" ] && tools+=(crunchet-before)
        tools+=(crunchet-reference)
        for tool in "${tools[@]}"; do
            case $tool in
            crunchet) bin=$crunchet ;;
            crunchet-before) bin=$crunchet_before ;;
            *) bin=$reference ;;
            esac
            out_file=/dev/null
            measure "$bin" "$in" "$work/deg.$tool.bip"
            [ "$data" = random ] && deg_base[$tool]=$median_s
            printf '%-22s %-13s %8s %6s %10s\n' "$tool" "$data" "$median_s" "$cpu_s" \
                "$(awk -v s="$median_s" -v b="${deg_base[$tool]}" 'BEGIN {printf "%.1f", s / b}')"
        done
        cmp -s "$work/deg.crunchet.bip" "$work/deg.crunchet-reference.bip" ||
            { echo "streams differ from the reference's on $data" >&2; exit 1; }
    done
    rm -f "$work"/deg_* "$work"/deg.*
fi

if [ -n "$datasets" ]; then
    printf '\nencoder: our time over the peer'"'"'s; decoder: how many times faster uncrunchet is\n'
    for data in $datasets; do
        case $data in mixed | random) ;; *) continue ;; esac
        printf '%s\n' "${encoder_pairs[$data]}"
        printf '  %-8s uncrunchet %s (pairs taken in turn)\n' "$data" "${decoder_pairs[$data]}"
    done
fi

# --- swapfold -------------------------------------------------------------------------------

# Writes to $1 an archive of $2 entries of random data, of $3 to $4 bytes each (drawn with a
# fixed seed), each on a 2048-byte boundary, named $5NNNNN.bin, with its name table last.
make_archive() { # path count min max prefix
    python3 - "$@" <<'PY'
import os, random, struct, sys
path, count, low, high = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
prefix = sys.argv[5].encode()
random.seed(11)
pool = os.urandom(high + (1 << 20))
first = ((8 * (count + 2)) + 2047) // 2048 * 2048
table = bytearray(first)
table[0:4] = b"AFS\0"
struct.pack_into("<I", table, 4, count)
names = bytearray(48 * count)
with open(path, "wb") as f:
    f.seek(first)
    for i in range(count):
        size = random.randint(low, high)
        struct.pack_into("<II", table, 8 + 8 * i, f.tell(), size)
        start = (i * 4099) % (1 << 20)
        f.write(pool[start:start + size] + bytes(-size % 2048))
        names[48 * i:48 * i + 32] = (b"%s%05d.bin" % (prefix, i)).ljust(32, b"\0")
        struct.pack_into("<I", names, 48 * i + 44, size)
    struct.pack_into("<II", table, 8 + 8 * count, f.tell(), 48 * count)
    f.write(names + bytes(-len(names) % 2048))
    f.seek(0)
    f.write(table)
PY
}

mkdir -p "$work/en"
if [ "${SKIP_ARCHIVE:-0}" != 1 ]; then
    # 2048 entries of equal size filling about ARCHIVE_MIB MiB, rebuilt with no replacements.
    entry=$((archive_mib * mib / 2048 - 2048))
    make_archive "$work/big.afs" 2048 $((entry - entry % 2048)) $((entry - entry % 2048)) e
    cat "$work/big.afs" >/dev/null # into the page cache for both
    # shellcheck disable=SC2016 # the commands expand the variables when they run
    rebuild=(
        swapfold='"$bench_swapfold" "$bench_work"/big.afs "$bench_work"/out.afs "$bench_work"/en'
        'cat=cat "$bench_work"/big.afs >"$bench_work"/cat.afs')
    # shellcheck disable=SC2016
    [ -n "$before" ] && rebuild+=(swapfold-before='"$bench_swapfold_before" "$bench_work"/big.afs \
        "$bench_work"/out.0.afs "$bench_work"/en')
    printf '\n'
    pair_row "rebuild: $(stat -c %s "$work/big.afs") bytes, 2048 entries, no replacements, \
over an existing output" "$archive_runs" run 1 "${rebuild[@]}"
    rm -f "$work"/big.afs "$work"/out.afs "$work"/out.0.afs "$work"/cat.afs
fi

if [ "${SKIP_EXTRACT:-0}" != 1 ]; then
    # Many small entries written as files into an existing ja/, beside tar extracting the same
    # files into an existing directory. The files stay until the end: deleting many files
    # slows down the creations that follow on ext4.
    many_entries=${SMALL_ENTRIES:-66000}
    make_archive "$work/many.afs" "$many_entries" 200 6000 m
    "$swapfold" "$work/many.afs" /dev/null "$work/en" "$work/ja" >/dev/null
    tar -cf "$work/many.tar" -C "$work/ja" .
    mkdir -p "$work/jt"
    # shellcheck disable=SC2016 # the commands expand the variables when they run
    extract=(
        swapfold='"$bench_swapfold" "$bench_work"/many.afs /dev/null "$bench_work"/en \
            "$bench_work"/ja'
        'tar -x=tar -xf "$bench_work"/many.tar -C "$bench_work"/jt')
    # shellcheck disable=SC2016
    [ -n "$before" ] && extract+=(swapfold-before='"$bench_swapfold_before" "$bench_work"/many.afs \
        /dev/null "$bench_work"/en "$bench_work"/ja0')
    printf '\n'
    pair_row "extraction: $many_entries entries of 200-6000 bytes ($(stat -c %s "$work/many.afs") \
bytes) into existing files; swapfold also writes its rebuilt archive, to /dev/null" \
        "$runs" run 1 "${extract[@]}"
    diff -rq "$work/ja" "$work/jt" >/dev/null ||
        { echo "swapfold and tar extracted different files" >&2; exit 1; }
    # The file-system work alone, as many files of the same sizes over existing ones: the
    # unnamed file renamed over the old one (what the tools do) against tar's unlink and
    # create, and against a named temporary file.
    mkdir -p "$work/seq-unnamed" "$work/seq-create" "$work/seq-named"
    # shellcheck disable=SC2016 # the commands expand the variables when they run
    sequences_row=(
        unnamed='"$bench_sequences" unnamed "$bench_work"/seq-unnamed '"$many_entries"
        create='"$bench_sequences" create "$bench_work"/seq-create '"$many_entries"
        named='"$bench_sequences" named "$bench_work"/seq-named '"$many_entries")
    printf '\n'
    pair_row "the file-system work alone: $many_entries files of 200-6000 bytes over existing \
ones (output_sequences)" "$runs" run 1 "${sequences_row[@]}"
fi

# --- small files ----------------------------------------------------------------------------

if [ "${SKIP_SMALL:-0}" != 1 ]; then
    small_count=${SMALL_FILES:-400}
    small_size=${SMALL_SIZE:-4096}
    small_rounds=${SMALL_ROUNDS:-7}
    [ "$small_rounds" -ge 5 ] || { echo "SMALL_ROUNDS must be at least 5" >&2; exit 1; }
    if [ -n "${SMALL_BIN:-}" ]; then
        small_crunchet=$SMALL_BIN/crunchet small_uncrunchet=$SMALL_BIN/uncrunchet
    else
        cmake --build "$build" -j2 --target crunchet uncrunchet >/dev/null
        small_crunchet=$crunchet small_uncrunchet=$uncrunchet
    fi
    [ -s "$work/text" ] ||
        gather "$work/text" $((4 * mib)) /usr/share/vim /usr/share/common-licenses \
            /usr/share/doc -type f \( -name '*.txt' -o -name 'GPL*' -o -name 'README*' \
            -o -name 'copyright' \)
    small=$work/small-files
    mkdir -p "$small/in"
    head -c $((small_count * small_size)) "$work/text" |
        split -b "$small_size" -a 5 -d - "$small/in/f"
    small_inputs=("$small"/in/f*)
    if [ "${#small_inputs[@]}" -ne "$small_count" ] ||
        [ "$(stat -c %s "${small_inputs[-1]}")" -ne "$small_size" ]; then
        echo "the text corpus is too short for $small_count files of $small_size bytes" >&2
        exit 1
    fi

    # One process per file, each run over the outputs of the run before; the loops run in in/
    # and name each output after its input.
    export bench_small=$small bench_small_crunchet=$small_crunchet \
        bench_small_uncrunchet=$small_uncrunchet
    mkdir -p "$small"/{bip,bip0,gz,un,un0,ungz}
    # shellcheck disable=SC2016 # the commands expand the variables when they run
    loop='cd "$bench_small"/in && for f in *; do '
    # shellcheck disable=SC2016 # the commands expand the variables when they run
    compress=(crunchet="$loop"'"$bench_small_crunchet" "$f" ../bip/"$f"; done'
        "gzip -6=$loop"'gzip -6 -c "$f" >../gz/"$f"; done'
        "/bin/true=$loop"'/bin/true "$f" ../un/"$f"; done')
    # shellcheck disable=SC2016
    restore=(uncrunchet="$loop"'"$bench_small_uncrunchet" ../bip/"$f" ../un/"$f"; done'
        "gzip -d=$loop"'gzip -d -c ../gz/"$f" >../ungz/"$f"; done'
        "/bin/true=$loop"'/bin/true ../bip/"$f" ../un/"$f"; done')
    if [ -n "$before" ]; then
        # shellcheck disable=SC2016
        compress+=(crunchet-before="$loop"'"$bench_crunchet_before" "$f" ../bip0/"$f"; done')
        # shellcheck disable=SC2016
        restore+=(uncrunchet-before="$loop"'"$bench_uncrunchet_before" ../bip0/"$f" \
            ../un0/"$f"; done')
    fi
    [ -n "${SMALL_BIN:-}" ] && printf '\ncrunchet and uncrunchet from %s' "$SMALL_BIN"
    what="$small_count files of $small_size bytes of text, one process per file, over \
existing outputs"
    printf '\n'
    pair_row "small files, compressing: $what" "$small_rounds" file "$small_count" "${compress[@]}"
    pair_row "small files, restoring: $what" "$small_rounds" file "$small_count" "${restore[@]}"
    cat "${small_inputs[@]}" | cmp -s - <(cat "$small"/un/*) ||
        { echo "uncrunchet did not restore the small files" >&2; exit 1; }
    cat "${small_inputs[@]}" | cmp -s - <(cat "$small"/ungz/*) ||
        { echo "gzip -d did not restore the small files" >&2; exit 1; }
    out_in() { cat "$@" | wc -c | awk -v b=$((small_count * small_size)) '{printf "%.3f", $1/b}'; }
    printf '  out/in: crunchet %s, gzip -6 %s\n' "$(out_in "$small"/bip/*)" \
        "$(out_in "$small"/gz/*)"

    # The codecs alone on the same files, one call per file in memory: how much of a run's
    # time is the codec's. The peer is zlib's deflate at level 6, as Python calls it.
    cmake --build "$build" -j2 --target lzss_calls >/dev/null
    read -r lzss_compress lzss_decompress < <("$build/bench/lzss_calls" "$small_rounds" \
        "${small_inputs[@]}")
    read -r zlib_compress zlib_decompress < <(python3 - "$small_rounds" "${small_inputs[@]}" <<'PY'
import sys, time, zlib
rounds, data = int(sys.argv[1]), [open(path, "rb").read() for path in sys.argv[2:]]
def per_call(code, items):
    start = time.perf_counter()
    out = [code(item) for item in items]
    return (time.perf_counter() - start) / len(items) * 1e6, out
compress, decompress = [], []
for _ in range(rounds):
    micros, streams = per_call(lambda item: zlib.compress(item, 6), data)
    compress.append(micros)
    micros, restored = per_call(zlib.decompress, streams)
    decompress.append(micros)
    assert restored == data
median = lambda values: sorted(values)[(len(values) - 1) // 2]
print("%.1f %.1f" % (median(compress), median(decompress)))
PY
    )
    printf '  in memory, microseconds per call (medians of %s rounds): ' "$small_rounds"
    printf 'compress_lzss %s, zlib level 6 %s; decompress_lzss %s, zlib %s\n' \
        "$lzss_compress" "$zlib_compress" "$lzss_decompress" "$zlib_decompress"
    rm -rf "$small"
fi
printf 'load after the run: %s\n' "$(uptime)"
