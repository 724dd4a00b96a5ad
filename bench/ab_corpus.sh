#!/usr/bin/env bash
# Writes compare.sh's corpus into the directory given (text, code, images, raw_image, mixed,
# random, and the 1 MiB sorted inputs as deg_*), with compare.sh's own commands, for
# bench/ab.py. The sources are the same files, so the bytes are too, but for the random ones.
set -euo pipefail
work=$1
mkdir -p "$work"
script=$(dirname "$0")/compare.sh
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
export mib=$((1024 * 1024)) # used by the lines sourced below
# The corpus lines of compare.sh, from the text gather to the random bytes, then its sorted
# inputs.
# shellcheck disable=SC1090,SC2016
source <(sed -n '/^gather "\$work\/text"/,/^head -c \$((4 \* mib)) \/dev\/urandom/p' "$script")
# shellcheck disable=SC1090,SC2016
source <(sed -n '/^    python3 - "\$work" <<.PY.$/,/^PY$/p' "$script" | sed 's/^    python3/python3/')
