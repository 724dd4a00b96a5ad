#!/usr/bin/env bash
# Writes compare.sh's corpus into the directory given (text, code, images, raw_image, mixed,
# random, and the 1 MiB sorted inputs as deg_*), with compare.sh's own commands, for
# bench/ab.py. The sources are the same files, so the bytes are too, but for the random ones.
set -euo pipefail
work=$1
mkdir -p "$work"
script=$(dirname "$0")/compare.sh
# compare.sh's gather(), so the corpus is put together the one same way.
# shellcheck disable=SC1090
source <(sed -n '/^gather() {/,/^}/p' "$script")
export mib=$((1024 * 1024)) # used by the lines sourced below
# The corpus lines of compare.sh, from the text gather to the random bytes, then its sorted
# inputs.
# shellcheck disable=SC1090,SC2016
source <(sed -n '/^gather "\$work\/text"/,/^head -c \$((4 \* mib)) \/dev\/urandom/p' "$script")
# shellcheck disable=SC1090,SC2016
source <(sed -n '/^    python3 - "\$work" <<.PY.$/,/^PY$/p' "$script" | sed 's/^    python3/python3/')
