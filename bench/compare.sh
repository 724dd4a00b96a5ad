#!/usr/bin/env bash
# Whole-process timings of crunchet, uncrunchet and swapfold side by side with the tools a
# user already knows, in one run, on one machine.
#
# Builds a Release build, gathers a corpus of about 12 MB from files on this machine (text,
# executables, images) plus synthetic worst cases (random, all zero, period 2), and times
# each tool several times on each file; the median is reported, with the median processor
# time (user + system, all threads) beside it. Peak memory is the maximum resident set size
# reported by /usr/bin/time -f %M. uncrunchet's ratios to gzip -d, zstd -d and lz4 -d are
# taken apart from these, from further runs of the four in turn, pair by pair, wall time and
# processor time each. swapfold rebuilds a generated archive
# of about 1 GiB with no replacements and is set against cat of the same file.
#
# With BEFORE set to a commit, that commit's programs are built too (in a worktree, with the
# extra CMake arguments in BEFORE_CMAKE_ARGS, such as -DBIPAFS_SPLIT_KEY=ON to set the encoder's
# two-halves key beside its 128-bit one) and timed in the same run beside the current ones, as
# the "-before" rows, and a row of small files
# (an archive of many small entries extracted and rebuilt) shows the cost per output file.
#
# The small-files rows time what a batch of game data costs: SMALL_FILES files of SMALL_SIZE
# bytes of text, one process per file, back to back, crunchet and uncrunchet taking turns
# with gzip -6 and gzip -d round by round; each figure is the median time per file over
# SMALL_ROUNDS rounds; the codec's time per call in memory on the same files (lzss_calls)
# is set beside zlib's. SMALL_BIN names a directory whose crunchet and uncrunchet are timed
# there instead of the build's (an install's bin/, an unpacked package's usr/bin).
# Environment for them: SMALL_FILES (default 400), SMALL_SIZE (default 4096), SMALL_ROUNDS
# (default 7, at least 5), SMALL_BIN (default: the build's), SKIP_SMALL=1 to leave them out.
#
# Environment: BUILD_DIR (default build/release), RUNS (default 5), ARCHIVE_RUNS (default 15),
# ARCHIVE_MIB (default 1024), SKIP_ARCHIVE=1 to leave out the archive rows, SKIP_CORPUS=1 to
# leave out the corpus rows (only swapfold is then built), DATASETS to time only some of the
# corpus's data sets (default: all), BEFORE (default: none), SMALL_ENTRIES (default 4096),
# SKIP_DEGENERATE=1 to leave out the rows of sorted data.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/release}
runs=${RUNS:-5}
archive_runs=${ARCHIVE_RUNS:-15}
archive_mib=${ARCHIVE_MIB:-1024}

cmake --preset release -B "$build" >/dev/null
skip_corpus=${SKIP_CORPUS:-0}
targets="crunchet uncrunchet swapfold crunchet_reference"
[ "$skip_corpus" = 1 ] && targets=swapfold
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets >/dev/null

crunchet=$build/src/crunchet/crunchet
uncrunchet=$build/src/uncrunchet/uncrunchet
swapfold=$build/src/swapfold/swapfold
reference=$build/bench/crunchet_reference

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

# Sets median_s, fastest_s, cpu_s (median processor time) and peak_kib from the lists named
# by $1, $2 and $1_cpus, and empties the last.
summarise() {
    local -n times_=$1 peaks_=$2 cpus_=$1_cpus
    cpu_s=$(median_of "${cpus_[@]}")
    cpus_=()
    median_s=$(awk -v ns="$(median_of "${times_[@]}")" 'BEGIN {printf "%.4f", ns / 1e9}')
    fastest_s=$(printf '%s\n' "${times_[@]}" | sort -n | awk 'NR == 1 {printf "%.4f", $1/1e9}')
    peak_kib=$(printf '%s\n' "${peaks_[@]}" | sort -n | tail -n 1)
}

# Runs "$@" $runs times; sets median_s and peak_kib.
measure() {
    local times=() peaks=()
    for _ in $(seq "$runs"); do run_once times peaks "$@"; done
    summarise times peaks
}

# uncrunchet, gzip -d, zstd -d and lz4 -d on one data set's containers, run in turn round by
# round, $runs rounds; sets decoder_pairs[$1] to how many times faster uncrunchet is than each,
# in wall time and in processor time (user + system, from wait4): each figure the median of
# the rounds' own ratios.
declare -A decoder_pairs
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

declare -A speed fastest
row() { # label data bytes compressed_bytes
    local label=$1 data=$2 bytes=$3 packed=$4
    local mbs ratio
    mbs=$(awk -v b="$bytes" -v s="$median_s" 'BEGIN {printf "%.1f", b / 1e6 / s}')
    ratio=$(awk -v c="$packed" -v b="$bytes" 'BEGIN {printf "%.3f", c / b}')
    speed[$label/$data]=$mbs
    fastest[$label/$data]=$fastest_s
    printf '%-22s %-9s %9s %8s %6s %9s %10s\n' "$label" "$data" "$mbs" "$median_s" "$cpu_s" \
        "$ratio" "$peak_kib"
}

printf 'load before the run: %s\n' "$(uptime)"
printf 'runs per figure: %s (median)\n' "$runs"
[ -n "$before" ] && printf -- '-before rows: commit %s\n' "$(git -C "$root" rev-parse --short "$before")"
printf '\n'
printf '%-22s %-9s %9s %8s %6s %9s %10s\n' tool data 'MB/s' 'median s' 'cpu s' 'out/in' \
    'peak KiB'

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
    rm -f "$work/$data".*
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

if [ "${SKIP_ARCHIVE:-0}" != 1 ]; then
    # An archive of 2048 entries of equal size: entries of compressed-looking data filling
    # about ARCHIVE_MIB MiB, each on a 2048-byte boundary, with its name table at the end.
    python3 - "$work/big.afs" "$archive_mib" <<'PY'
import os, struct, sys
path, mib = sys.argv[1], int(sys.argv[2])
count = 2048
entry = (mib * 1024 * 1024) // count - 2048
entry -= entry % 2048
chunk = os.urandom(entry)
first = ((8 * (count + 2)) + 2047) // 2048 * 2048
with open(path, "wb") as f:
    table = bytearray(first)
    table[0:4] = b"AFS\0"
    struct.pack_into("<I", table, 4, count)
    pos = first
    for i in range(count):
        struct.pack_into("<II", table, 8 + 8 * i, pos, entry)
        pos += entry
    struct.pack_into("<II", table, first - 8, pos, 48 * count)
    f.write(table)
    for i in range(count):
        f.write(chunk)
    names = bytearray(48 * count)
    for i in range(count):
        names[48 * i:48 * i + 12] = b"e%05d.bin" % i + b"\0" * 3
        struct.pack_into("<I", names, 48 * i + 44, entry)
    f.write(names)
    f.write(b"\0" * ((-f.tell()) % 2048))
PY
    mkdir -p "$work/en"
    bytes=$(stat -c %s "$work/big.afs")
    cat "$work/big.afs" >/dev/null # into the page cache for both
    # 1 GiB written per run, so the machine's state drifts from run to run: the two take turns,
    # and each run writes a new file after a sync, paying neither for dropping the last run's
    # output nor for writing back what that left dirty in the page cache. Even so the time of
    # either tool falls into a fast and a slow group from run to run (0.3 s or 0.6-1.8 s here),
    # so the median needs more runs than the corpus rows, and the fastest runs are set side by
    # side too.
    swapfold_times=() swapfold_peaks=() cat_times=() cat_peaks=()
    before_times=() before_peaks=() over_times=() over_peaks=() over_before_times=()
    over_before_peaks=()
    for _ in $(seq "$archive_runs"); do
        rm -f "$work/out.afs" && sync
        out_file=/dev/null
        run_once swapfold_times swapfold_peaks "$swapfold" "$work/big.afs" "$work/out.afs" "$work/en"
        if [ -n "$before" ]; then
            rm -f "$work/out.afs" && sync
            run_once before_times before_peaks "$swapfold_before" "$work/big.afs" "$work/out.afs" \
                "$work/en"
            # Over the output of the run before, as a user rebuilding again does: the new
            # archive is written beside the old one and replaces it, where the earlier
            # commit truncated the old one first.
            sync
            run_once over_times over_peaks "$swapfold" "$work/big.afs" "$work/out.afs" "$work/en"
            sync
            run_once over_before_times over_before_peaks "$swapfold_before" "$work/big.afs" \
                "$work/out.afs" "$work/en"
        fi
        rm -f "$work/cat.afs" && sync
        out_file=$work/cat.afs
        run_once cat_times cat_peaks cat "$work/big.afs"
    done
    summarise swapfold_times swapfold_peaks
    row swapfold archive "$bytes" "$(stat -c %s "$work/out.afs")"
    if [ -n "$before" ]; then
        summarise before_times before_peaks
        row swapfold-before archive "$bytes" "$(stat -c %s "$work/out.afs")"
        summarise over_times over_peaks
        row "swapfold over old" archive "$bytes" "$(stat -c %s "$work/out.afs")"
        summarise over_before_times over_before_peaks
        row "swapfold-before over old" archive "$bytes" "$(stat -c %s "$work/out.afs")"
    fi
    summarise cat_times cat_peaks
    row cat archive "$bytes" "$(stat -c %s "$work/cat.afs")"
    rm -f "$work/out.afs" "$work/cat.afs" "$work/big.afs"
fi

if [ -n "$before" ]; then
    # Many small outputs: an archive of SMALL_ENTRIES entries of 512 bytes, each extracted as
    # a file of its own into a fresh ja/, then rebuilt; the two builds take turns.
    small_entries=${SMALL_ENTRIES:-4096}
    python3 - "$work/small.afs" "$small_entries" <<'PY'
import os, struct, sys
path, count = sys.argv[1], int(sys.argv[2])
first = ((8 * (count + 2)) + 2047) // 2048 * 2048
table = bytearray(first)
table[0:4] = b"AFS\0"
struct.pack_into("<I", table, 4, count)
data = bytearray()
for i in range(count):
    struct.pack_into("<II", table, 8 + 8 * i, first + len(data), 512)
    data += os.urandom(512) + bytes(1536)
names = bytearray(48 * count)
for i in range(count):
    names[48 * i:48 * i + 12] = b"s%05d.bin" % i + b"\0" * 3
    struct.pack_into("<I", names, 48 * i + 44, 512)
struct.pack_into("<II", table, 8 + 8 * count, first + len(data), 48 * count)
with open(path, "wb") as f:
    f.write(table + data + names)
PY
    bytes=$(stat -c %s "$work/small.afs")
    small_times=() small_peaks=() small_before_times=() small_before_peaks=()
    out_file=/dev/null
    for _ in $(seq "$runs"); do
        rm -rf "$work/ja" "$work/small.out" && sync
        run_once small_times small_peaks "$swapfold" "$work/small.afs" "$work/small.out" "$work/en" \
            "$work/ja"
        rm -rf "$work/ja" "$work/small.out" && sync
        run_once small_before_times small_before_peaks "$swapfold_before" "$work/small.afs" \
            "$work/small.out" "$work/en" "$work/ja"
    done
    summarise small_times small_peaks
    row "swapfold ja/" "small" "$bytes" "$(stat -c %s "$work/small.out")"
    summarise small_before_times small_before_peaks
    row "swapfold-before ja/" "small" "$bytes" "$(stat -c %s "$work/small.out")"
    printf '  (small: %s entries of 512 bytes, each extracted as a file, then the archive rebuilt)\n' \
        "$small_entries"
fi

ratio() { awk -v a="${speed[$1]}" -v b="${speed[$2]}" 'BEGIN {printf "%.2f", a / b}'; }
printf '\nthroughput ratios (whole process, medians):\n'
for data in $datasets; do
    case $data in mixed | random) ;; *) continue ;; esac
    printf '  %-8s crunchet / reference %s, / gzip -6 %s, / gzip -1 %s, / zstd -3 %s, / lz4 %s\n' \
        "$data" "$(ratio crunchet/$data crunchet-reference/$data)" \
        "$(ratio crunchet/$data 'gzip -6'/$data)" "$(ratio crunchet/$data 'gzip -1'/$data)" \
        "$(ratio crunchet/$data 'zstd -3'/$data)" "$(ratio crunchet/$data lz4/$data)"
    printf '  %-8s uncrunchet %s (pairs taken in turn)\n' "$data" "${decoder_pairs[$data]}"
done
if [ -n "$before" ]; then
    for data in $datasets; do
        printf '  %-8s crunchet / crunchet-before %s, uncrunchet / uncrunchet-before %s\n' "$data" \
            "$(ratio crunchet/$data crunchet-before/$data)" \
            "$(ratio uncrunchet/$data uncrunchet-before/$data)"
    done
    [ -n "${speed[swapfold/archive]:-}" ] &&
        printf '  swapfold / swapfold-before (archive) %s, over an old output %s\n' \
            "$(ratio swapfold/archive swapfold-before/archive)" \
            "$(ratio 'swapfold over old/archive' 'swapfold-before over old/archive')"
    printf '  swapfold / swapfold-before (small files) %s\n' \
        "$(ratio 'swapfold ja//small' 'swapfold-before ja//small')"
fi
if [ -n "${speed[swapfold/archive]:-}" ]; then
    printf '  swapfold time / cat time %s (medians of %s runs), %s (fastest runs)\n' \
        "$(ratio cat/archive swapfold/archive)" "$archive_runs" \
        "$(awk -v a="${fastest[swapfold/archive]}" -v b="${fastest[cat/archive]}" 'BEGIN {printf "%.2f", a / b}')"
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

    # One pass of one tool over every file, one process per file, into the directories of
    # round $3; adds the time per file in nanoseconds to the list named by $1.
    small_pass() {
        local -n per_file_=$1
        local tool=$2 dir=$small/r$3 f t0 t1
        t0=$(date +%s%N)
        case $tool in
        crunchet) for f in "${small_inputs[@]}"; do
            "$small_crunchet" "$f" "$dir/bip/${f##*/}" >/dev/null; done ;;
        crunchet-before) for f in "${small_inputs[@]}"; do
            "$crunchet_before" "$f" "$dir/bip0/${f##*/}" >/dev/null; done ;;
        'gzip -6') for f in "${small_inputs[@]}"; do
            gzip -6 -c "$f" >"$dir/gz/${f##*/}"; done ;;
        uncrunchet) for f in "${small_inputs[@]}"; do
            "$small_uncrunchet" "$dir/bip/${f##*/}" "$dir/un/${f##*/}"; done ;;
        uncrunchet-before) for f in "${small_inputs[@]}"; do
            "$uncrunchet_before" "$dir/bip0/${f##*/}" "$dir/un0/${f##*/}"; done ;;
        'gzip -d') for f in "${small_inputs[@]}"; do
            gzip -d -c "$dir/gz/${f##*/}" >"$dir/ungz/${f##*/}"; done ;;
        true) for f in "${small_inputs[@]}"; do
            /bin/true "$f" "$dir/un/${f##*/}"; done ;;
        esac
        t1=$(date +%s%N)
        per_file_+=($(((t1 - t0) / small_count)))
    }

    # Each compressor runs before its decompressor, which reads what it wrote in that round;
    # every other round the peers go first. Each round writes into fresh directories after a
    # sync, so no round pays for writing back what the one before left dirty, and nothing is
    # deleted until the end: on an ext4 file system without a journal (as this machine's), every
    # new inode is allocated past the inodes freed in the last minute, so deleting one round's
    # files would slow down the next round's creations.
    small_order=(crunchet 'gzip -6' uncrunchet 'gzip -d' true)
    [ -n "$before" ] && small_order+=(crunchet-before uncrunchet-before)
    declare -A per_file_times=()
    for round in $(seq "$small_rounds"); do
        mkdir -p "$small/r$round"/{bip,bip0,gz,un,un0,ungz}
        sync
        if [ $((round % 2)) = 1 ]; then
            order=("${small_order[@]}")
        else
            order=('gzip -6' crunchet 'gzip -d' uncrunchet true)
            [ -n "$before" ] && order=(crunchet-before uncrunchet-before "${order[@]}")
        fi
        for tool in "${order[@]}"; do
            times=()
            small_pass times "$tool" "$round"
            per_file_times[$tool]+="${times[0]} "
        done
    done
    last=$small/r$small_rounds
    cat "${small_inputs[@]}" | cmp -s - <(cat "$last"/un/*) ||
        { echo "uncrunchet did not restore the small files" >&2; exit 1; }
    cat "${small_inputs[@]}" | cmp -s - <(cat "$last"/ungz/*) ||
        { echo "gzip -d did not restore the small files" >&2; exit 1; }

    small_bytes=$((small_count * small_size))
    declare -A small_out=([crunchet]=bip [crunchet-before]=bip0 ['gzip -6']=gz
                          [uncrunchet]=bip [uncrunchet-before]=bip0 ['gzip -d']=gz)
    printf '\nsmall files: %s files of %s bytes of text, one process per file, ' \
        "$small_count" "$small_size"
    printf 'medians of %s rounds\n' "$small_rounds"
    [ -n "${SMALL_BIN:-}" ] && printf 'crunchet and uncrunchet from %s\n' "$SMALL_BIN"
    printf '%-22s %10s %10s %10s %9s\n' tool 'ms/file' fastest slowest 'out/in'
    for tool in crunchet crunchet-before 'gzip -6' uncrunchet uncrunchet-before 'gzip -d' true; do
        [ -n "${per_file_times[$tool]:-}" ] || continue
        # shellcheck disable=SC2086 # the list is numbers separated by spaces
        read -r median fast slow < <(printf '%s\n' ${per_file_times[$tool]} | sort -n |
            awk '{a[NR] = $1 / 1e6}
                 END {printf "%.3f %.3f %.3f\n", a[int((NR + 1) / 2)], a[1], a[NR]}')
        packed=-
        [ -n "${small_out[$tool]:-}" ] && packed=$(cat "$last/${small_out[$tool]}"/* | wc -c |
            awk -v b="$small_bytes" '{printf "%.3f", $1 / b}')
        printf '%-22s %10s %10s %10s %9s\n' "$tool" "$median" "$fast" "$slow" "$packed"
    done
    # The median over the rounds of the two tools' ratio in each round, which the drift of the
    # machine from round to round moves less than the ratio of the two medians.
    small_ratio() {
        # shellcheck disable=SC2086 # the lists are numbers separated by spaces
        paste -d ' ' <(printf '%s\n' ${per_file_times[$1]}) \
            <(printf '%s\n' ${per_file_times[$2]}) | awk '{print $1 / $2}' | sort -n |
            awk '{a[NR] = $1} END {printf "%.2f", a[int((NR + 1) / 2)]}'
    }
    printf '  time per file, median of the ratios per round: crunchet / gzip -6 %s, ' \
        "$(small_ratio crunchet 'gzip -6')"
    printf 'uncrunchet / gzip -d %s\n' "$(small_ratio uncrunchet 'gzip -d')"
    if [ -n "$before" ]; then
        printf '  time per file: crunchet / crunchet-before %s, ' \
            "$(small_ratio crunchet crunchet-before)"
        printf 'uncrunchet / uncrunchet-before %s\n' "$(small_ratio uncrunchet uncrunchet-before)"
    fi

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
