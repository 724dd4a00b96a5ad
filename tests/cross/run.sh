#!/usr/bin/env bash
# Cross-builds the four programs for other machines and checks, under qemu-user, that they
# give what the native programs give, byte for byte (bipafs as it unpacks and packs each
# archive):
#
#   tests/cross/run.sh NATIVE_DIR ARCH...
#
# NATIVE_DIR is a native build directory (build/default); each ARCH (i386, s390x) is built
# with warnings as errors into build/cross-ARCH with Debian's cross compiler
# (crossbuild-essential-ARCH) and run with qemu-ARCH (qemu-user). i386 is the 32-bit machine,
# s390x the big-endian one. Compared for each run: status, standard output, standard error
# and every file written. On the 32-bit machine, inputs too large for its address space must
# be refused with the documented message, status 1 and no output.
#
# Only the programs run under qemu, never the test suite: a fork-heavy test can hang there.
set -euo pipefail

if [ "$#" -lt 2 ]; then
  echo "usage: $0 NATIVE_DIR ARCH..." >&2
  exit 1
fi
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
native=$(cd "$1" && pwd)/src
shift

work=$(mktemp -d)
# KEEP_CROSS_WORK=1 keeps every input and output for a look after a failure.
if [ -n "${KEEP_CROSS_WORK:-}" ]; then
  echo "work files kept in $work"
else
  trap 'rm -rf "$work"' EXIT
fi
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Little-endian 32-bit number as four raw bytes.
le32() {
  printf '%b' "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) \
    $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}

# put FILE OFFSET: writes standard input into FILE at OFFSET, keeping the rest.
put() {
  dd of="$1" bs=4096 seek="$2" oflag=seek_bytes conv=notrunc status=none
}

# make_afs OUT PLACE NAME FILE [NAME FILE]...: an archive with the name-table locator in
# PLACE (1: after the entry table; 2: before the first entry's data). FILE "-" gives an
# entry with no data (pos 0); every other entry's data starts on a 2048-byte boundary.
make_afs() {
  local out=$1 place=$2
  shift 2
  local names=() files=()
  while [ "$#" -gt 0 ]; do
    names+=("$1")
    files+=("$2")
    shift 2
  done
  local n=${#names[@]} at=2048 i size
  : >"$out"
  { printf 'AFS\0'; le32 "$n"; } | put "$out" 0
  for ((i = 0; i < n; i++)); do
    if [ "${files[i]}" = - ]; then
      { le32 0; le32 0; } | put "$out" $((8 + 8 * i))
      continue
    fi
    size=$(wc -c <"${files[i]}")
    { le32 "$at"; le32 "$size"; } | put "$out" $((8 + 8 * i))
    put "$out" "$at" <"${files[i]}"
    at=$(((at + size + 2047) / 2048 * 2048))
  done
  if [ "$place" = 1 ]; then
    { le32 "$at"; le32 $((48 * n)); } | put "$out" $((8 + 8 * n))
  else
    { le32 "$at"; le32 $((48 * n)); } | put "$out" $((2048 - 8))
  fi
  for ((i = 0; i < n; i++)); do
    printf '%s' "${names[i]}" | put "$out" $((at + 48 * i))
    printf 'stamp%02d' "$i" | put "$out" $((at + 48 * i + 32))
  done
  truncate -s $((at + 48 * n)) "$out"
}

# --- inputs, the same for every machine
in=$work/in
mkdir -p "$in/en" "$in/en2"
cp "$source_dir"/examples/sample.{txt,bip,afs} "$in/"
cp "$source_dir"/examples/replace/* "$in/en/"
files=(sample.txt)
add_file() { files+=("$1"); }
for real in /usr/bin/bash /bin/bash /usr/bin/ls; do
  if [ -f "$real" ]; then
    cp "$real" "$in/program"
    add_file program
    break
  fi
done
head -c 300000 /dev/urandom >"$in/random"
add_file random
head -c 200000 /dev/zero >"$in/zeros"
add_file zeros
printf 'x' >"$in/one"
add_file one
# Sorted fixed-width records, as in a game's tables: the input that turns the encoder's trees
# into its sorted indexes.
seq -f '%012.0f' 1 7 700000 >"$in/sorted"
add_file sorted
# Big-endian 32-bit counters, sorted, with a little text between runs.
for ((i = 0; i < 3000; i++)); do le32 $((i << 24 | i >> 8)); done >"$in/table"
add_file table
cat "$in/sample.txt" "$in/random" "$in/sample.txt" "$in/zeros" "$in/sorted" >"$in/mixed"
add_file mixed

head -c 5000 /dev/urandom >"$in/small"
make_afs "$in/gen2.afs" 2 first.txt "$in/sample.txt" big.bin "$in/random" none - \
  same "$in/one" small.bin "$in/small" same "$in/zeros" script.txt.bip "$in/sample.bip"
make_afs "$in/gen1.afs" 1 none - table.bin "$in/table" empty "$in/one" sorted.txt "$in/sorted"
# The entry named "empty" gets zero bytes of data, at a non-zero offset.
{ le32 0; } | put "$in/gen1.afs" $((8 + 8 * 2 + 4))
make_afs "$in/unsafe.afs" 2 fine "$in/one" ../escape "$in/small"
head -c 3000 "$in/gen2.afs" >"$in/truncated.afs"
cp "$in/sample.txt" "$in/en2/big.bin"
head -c 9000 /dev/urandom >"$in/en2/same"
head -c 100 /dev/urandom >"$in/en2/table.bin"
archives=(sample.afs:en gen2.afs:en2 gen1.afs:en2 unsafe.afs:en2 truncated.afs:en2)

# run_all DIR RUNNER...: every run, in DIR, each one's status, output and files kept there.
run_all() {
  local dir=$1
  shift
  local runner=("$@")
  mkdir -p "$dir"
  (
    cd "$dir"
    record() { # record NAME PROGRAM ARGS...: runs it, keeping status, stdout and stderr
      local name=$1
      shift
      local status=0
      "${runner[@]}" "$@" >"$name.out" 2>"$name.err" || status=$?
      echo "$status" >"$name.status"
    }
    for f in "${files[@]}"; do
      record "c-$f" crunchet "../in/$f" "$f.bip"
      record "u-$f" uncrunchet "$f.bip" "$f.restored"
    done
    record u-sample uncrunchet ../in/sample.bip sample.restored
    for a in "${archives[@]}"; do
      local afs=${a%%:*} en=${a##*:}
      record "s-$afs" swapfold "../in/$afs" "$afs.out" "../in/$en" "ja-$afs"
      # The rebuilt archive is an input in its turn, without extraction.
      if [ -f "$afs.out" ]; then record "r-$afs" swapfold "$afs.out" "$afs.again" "../in/$en"; fi
      # The job: unpacked (the record names the archive by its absolute path, the same for
      # every machine), and packed again.
      record "b-$afs" bipafs unpack "$in/$afs" "job-$afs"
      if [ -d "job-$afs" ]; then record "p-$afs" bipafs pack "job-$afs" "$afs.packed"; fi
    done
  )
}

# Whether the outcome kept in DIR (a status file and, when 0, no output) is the documented
# refusal: status 1, MESSAGE on standard error and no file OUTPUT.
expect_refusal() {
  local label=$1 dir=$2 name=$3 message=$4 output=$5
  local status err
  status=$(cat "$dir/$name.status")
  err=$(cat "$dir/$name.err")
  if [ "$status" != 1 ] || [ "$err" != "$message" ] || [ -e "$dir/$output" ]; then
    fail "$label: status $status, stderr '$err', output $( [ -e "$dir/$output" ] &&
      echo "$(wc -c <"$dir/$output") bytes" || echo absent) (expected status 1, '$message', no output)"
  else
    echo "ok: $label"
  fi
}

run_all "$work/native" env PATH="$native/crunchet:$native/uncrunchet:$native/swapfold:$native/bipafs"
for f in "${files[@]}"; do
  cmp -s "$in/$f" "$work/native/$f.restored" || fail "native round trip of $f"
done

for arch in "$@"; do
  case $arch in
    i386) triple=i686-linux-gnu ;;
    s390x) triple=s390x-linux-gnu ;;
    *)
      fail "unknown machine $arch"
      continue
      ;;
  esac
  build=$source_dir/build/cross-$arch
  echo "== $arch: cross-build with warnings as errors"
  if ! cmake -S "$source_dir" -B "$build" -G Ninja \
         -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/cross/$triple.cmake" \
         -DCMAKE_BUILD_TYPE=Release -DBIPAFS_WERROR=ON -DBIPAFS_BUILD_TESTS=OFF >"$work/$arch.configure" 2>&1 ||
     ! cmake --build "$build" -j2 >"$work/$arch.build" 2>&1; then
    cat "$work/$arch.configure" "$work/$arch.build" 2>/dev/null | grep -E 'error|Error' | head -n 40
    fail "$arch does not build"
    continue
  fi

  # qemu-ARCH runs each program with the C library from /usr/TRIPLE. The wrappers go first
  # in PATH, named as the programs.
  wrappers=$work/$arch-bin
  mkdir -p "$wrappers"
  for p in crunchet uncrunchet swapfold bipafs; do
    printf '#!/bin/sh\nexec qemu-%s -L /usr/%s %s "$@"\n' "$arch" "$triple" \
      "$build/src/$p/$p" >"$wrappers/$p"
    chmod +x "$wrappers/$p"
  done
  echo "== $arch: the programs under qemu against the native ones"
  run_all "$work/$arch" env PATH="$wrappers:$PATH"
  # Every file each run left (outputs, extracted entries, statuses and messages) must be the
  # same, to the byte.
  if diff -r "$work/native" "$work/$arch" >"$work/$arch.diff"; then
    echo "ok: $arch gives the native outputs for ${#files[@]} files and ${#archives[@]} archives"
  else
    head -n 20 "$work/$arch.diff"
    fail "$arch differs from native"
  fi

  if [ "$arch" = i386 ]; then
    echo "== $arch: inputs too large for a 32-bit address space"
    big=$work/$arch-big
    mkdir -p "$big"
    (
      cd "$big"
      truncate -s $((2 << 30)) two-gib
      truncate -s $(((4 << 30) + 100)) four-gib
      printf '\377\377\377\377' >header.bip
      truncate -s $((4 + 510 * 1048576)) header.bip
      refused() { # refused PROGRAM IN OUT: runs it, keeping status, stdout and stderr by IN
        local status=0
        "$wrappers/$1" "$2" "$3" >"$2.out" 2>"$2.err" || status=$?
        echo "$status" >"$2.status"
      }
      refused crunchet two-gib two.bip
      refused crunchet four-gib four.bip
      refused uncrunchet header.bip header.out
    )
    expect_refusal "crunchet, 2 GiB input" "$big" two-gib \
      "too large to compress (2 GiB or more) 'two-gib'" two.bip
    expect_refusal "crunchet, 4 GiB + 100 input" "$big" four-gib \
      "too large to compress (2 GiB or more) 'four-gib'" four.bip
    expect_refusal "uncrunchet, 4 GiB header over a 510 MiB stream" "$big" header.bip \
      "can't allocate 4294967296 bytes for 'header.bip'" header.out
    rm -rf "$big"
  fi
done

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all cross checks passed"
