#!/usr/bin/env bash
# Builds the programs and runs them on the bundled samples, in a scratch directory.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The programs preset, whole (the programs, their pages, no tests or benchmarks): a few
# seconds on two cores. The build prints its own progress, one line a step. The whole
# preset, not the programs alone, so that `cmake --install build/programs` works after it.
echo "== building the programs (cmake --preset programs: a few seconds, up to a minute on a slow machine)"
started=$SECONDS
cmake --preset programs >/dev/null
cmake --build --preset programs
echo "built in $((SECONDS - started)) s"
bin="$root/build/programs/src"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo
echo "== uncrunchet examples/sample.bip sample.txt"
"$bin/uncrunchet/uncrunchet" examples/sample.bip "$work/sample.txt"
cmp examples/sample.txt "$work/sample.txt"
echo "restored $(wc -c <"$work/sample.txt") bytes from $(wc -c <examples/sample.bip), identical to examples/sample.txt:"
head -n 3 "$work/sample.txt"

echo
echo "== crunchet examples/sample.txt again.bip, then uncrunchet again.bip again.txt"
"$bin/crunchet/crunchet" examples/sample.txt "$work/again.bip"
"$bin/uncrunchet/uncrunchet" "$work/again.bip" "$work/again.txt"
cmp examples/sample.txt "$work/again.txt"
echo "again.txt is identical to examples/sample.txt"

echo
echo "== bipafs list examples/sample.afs   (each entry's size and name)"
"$bin/bipafs/bipafs" list examples/sample.afs

echo
echo "== swapfold examples/sample.afs out.afs examples/replace extracted"
"$bin/swapfold/swapfold" examples/sample.afs "$work/out.afs" examples/replace "$work/extracted"
echo "extracted: $(cd "$work/extracted" && ls | tr '\n' ' ')"
echo "rebuilt out.afs: $(wc -c <"$work/out.afs") bytes (from $(wc -c <examples/sample.afs))"

echo
echo "== swapfold out.afs check.afs none shown   (extract the rebuilt archive to look inside)"
"$bin/swapfold/swapfold" "$work/out.afs" "$work/check.afs" "$work/none" "$work/shown" >/dev/null
for f in examples/replace/*; do
  name=$(basename "$f")
  cmp "$f" "$work/shown/$name"
  echo "$name in out.afs now holds examples/replace/$name:"
  head -n 3 "$work/shown/$name"
done

echo
echo "== bipafs unpack sample.afs game; edit game/menu.txt; bipafs status game; bipafs pack game new.afs"
cp examples/sample.afs "$work/sample.afs"
(
    cd "$work"
    "$bin/bipafs/bipafs" unpack sample.afs game
    printf 'Nouvelle partie\nContinuer\n' >game/menu.txt
    "$bin/bipafs/bipafs" status game
    "$bin/bipafs/bipafs" pack game new.afs
    "$bin/bipafs/bipafs" unpack new.afs again >/dev/null
    cmp game/menu.txt again/menu.txt
    echo "new.afs holds the edited menu.txt:"
    cat again/menu.txt
)
echo
echo "demo finished: every result checked"
