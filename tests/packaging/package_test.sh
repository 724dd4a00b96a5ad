#!/usr/bin/env bash
# Checks what a user gets from an install or from the Debian package:
#  - every manual page is clean under groff's warnings and names every message its
#    program can print on standard error;
#  - `cmake --install` puts the three programs into bin/ and their pages into share/man/man1;
#  - `cpack -G DEB` builds a package that carries the licence as its copyright file and
#    stripped programs, which, unpacked with `dpkg -x` into a scratch root, run: usage
#    lines, a crunchet/uncrunchet round trip and a small swapfold rebuild.
# Everything is made in a fresh temporary directory; the build directory is only read
# (cmake's install step records its install_manifest.txt there).
#
# usage: package_test.sh SOURCE_DIR BUILD_DIR VERSION
# Exits 0 when every check passes, 1 when one fails, 77 when a needed tool is missing.
set -uo pipefail

readonly skip_status=77
readonly programs=(crunchet uncrunchet swapfold)
src=$1
build=$2
version=$3

for tool in cmake cpack dpkg dpkg-deb groff perl; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed"
        exit "$skip_status"
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/package_test.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT

failures=0
check() { # check LABEL COMMAND...: runs the command, counts a failure when it fails
    local label=$1
    shift
    if "$@"; then
        echo "ok   $label"
    else
        echo "FAIL $label"
        failures=$((failures + 1))
    fi
}

# --- manual pages ----------------------------------------------------------------------

groff_is_silent() { # the page renders with every groff warning enabled and prints nothing
    local out
    out=$(groff -man -ww -z "$1" 2>&1) || return 1
    [ -z "$out" ] || { printf '%s\n' "$out"; return 1; }
}

# Messages of the whole-file helpers that only a write of pieces from named files can print;
# swapfold is the only program that writes such pieces.
named_source_messages="'%s' changed during the run"
# uncrunchet prints no lines, so an output there corrupts nothing and is never refused.
stdout_message="won't write to '%s': it is this run's standard output"

# The stderr messages of a program: the format strings passed to fail, fail_with_status and
# warn in its sources and in the whole-file helpers, adjacent literals and PRI macros joined.
messages_of() {
    compgen -G "$src/src/$1/*.cpp" >/dev/null || { echo "  no sources in src/$1" >&2; return 1; }
    perl -0777 -ne '
        while (/\b(?:fail_with_status|fail|warn)\s*\(\s*(?:\w+\s*,\s*)?((?:"(?:[^"\\]|\\.)*"\s*|PRI\w+\s*)+)/g) {
            my ($lit, $fmt) = ($1, "");
            while ($lit =~ /"((?:[^"\\]|\\.)*)"|PRI\w+/g) { $fmt .= defined $1 ? $1 : "u"; }
            $fmt =~ s/\\n$//;
            $fmt =~ s/\\(.)/$1/g;
            print "$fmt\n";
        }' "$src/src/$1"/*.cpp "$src/src/wholefile"/*.cpp |
        case $1 in
        swapfold) cat ;;
        uncrunchet) grep -vxF -e "$named_source_messages" -e "$stdout_message" ;;
        *) grep -vxF "$named_source_messages" ;;
        esac | sort -u
}

# Every message must appear in the page's rendered text, each conversion (%s, %zu, ...)
# standing for one placeholder word of the page.
page_names_messages() {
    local program=$1 rendered=$tmp/$1.txt messages=$tmp/$1.messages
    groff -man -Tascii -P-cbou -rLL=300n "$src/docs/man/$program.1" >"$rendered" 2>/dev/null ||
        return 1
    messages_of "$program" >"$messages" || return 1
    [ -s "$messages" ] || { echo "no messages found in the sources of $program"; return 1; }
    perl -e '
        my ($rendered, $messages) = @ARGV;
        open my $r, "<", $rendered or die; my $text = do { local $/; <$r> };
        open my $m, "<", $messages or die;
        my $missing = 0;
        while (my $fmt = <$m>) {
            chomp $fmt;
            my $re = join "\\S+", map { quotemeta } split /%[-+ #0-9.*]*(?:hh|h|ll|l|z|j|t)?[diouxXsc]/, $fmt, -1;
            next if $text =~ /$re/;
            print "  not in the page: \"$fmt\"\n";
            $missing = 1;
        }
        exit $missing;' "$rendered" "$messages"
}

page_has_version() { # the title line names the project's current version
    grep -q "^\.TH .* \"bipafs $version\" " "$1" || { echo "  $(grep '^\.TH' "$1")"; return 1; }
}

for program in "${programs[@]}"; do
    check "groff -ww is silent on $program.1" groff_is_silent "$src/docs/man/$program.1"
    check "$program.1 is titled with version $version" page_has_version "$src/docs/man/$program.1"
    check "$program.1 names every message of $program" page_names_messages "$program"
done

# --- cmake --install -------------------------------------------------------------------

installed_layout() { # ROOT BINDIR MANDIR: three programs and three pages are there
    local root=$1 bindir=$2 mandir=$3 program ok=0
    for program in "${programs[@]}"; do
        [ -x "$root/$bindir/$program" ] || { echo "  missing $bindir/$program"; ok=1; }
        [ -f "$root/$mandir/$program.1.gz" ] || [ -f "$root/$mandir/$program.1" ] ||
            { echo "  missing $mandir/$program.1"; ok=1; }
    done
    return $ok
}

prefix=$tmp/prefix
if cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    check "cmake --install puts programs and pages under the prefix" \
        installed_layout "$prefix" bin share/man/man1
else
    cat "$tmp/install.log"
    check "cmake --install succeeds" false
fi

# --- the Debian package ----------------------------------------------------------------

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    check "cpack -G DEB succeeds" false
    exit 1
fi
debs=("$tmp"/pkg/*.deb)
check "cpack makes exactly one .deb" test "${#debs[@]}" -eq 1 -a -f "${debs[0]}"
deb=${debs[0]}

control_field_matches() { # FIELD REGEX
    local value
    value=$(dpkg-deb -f "$deb" "$1") || return 1
    [[ $value =~ $2 ]] || { echo "  $1: '$value'"; return 1; }
}
check "package name" control_field_matches Package '^bipafs$'
check "package section" control_field_matches Section '^utils$'
check "package maintainer" control_field_matches Maintainer '.+<.+@.+>'
check "package depends on the C library" control_field_matches Depends 'libc6'
check "package description" control_field_matches Description 'AFS'

root=$tmp/root
dpkg -x "$deb" "$root"
check "the package holds programs and pages" installed_layout "$root" usr/bin usr/share/man/man1
check "the package's copyright file is the licence" \
    cmp "$root/usr/share/doc/bipafs/copyright" "$src/LICENSE"
bin=$root/usr/bin

if command -v readelf >/dev/null 2>&1; then
    stripped() { # the packaged programs carry no symbol table
        local program ok=0
        for program in "${programs[@]}"; do
            if readelf -S "$bin/$program" | grep -q '\.symtab'; then
                echo "  $program is not stripped"
                ok=1
            fi
        done
        return $ok
    }
    check "the packaged programs are stripped" stripped
fi

# run_tool NAME COMMAND...: runs in $tmp/run, leaving status, stdout and stderr in
# $status, $tmp/NAME.out and $tmp/NAME.err
run_tool() {
    local name=$1
    shift
    (cd "$tmp/run" && "$@") >"$tmp/$name.out" 2>"$tmp/$name.err"
    status=$?
}

expect_run() { # NAME STATUS STDOUT STDERR: the last run_tool NAME gave exactly these
    local name=$1 want_status=$2 want_out=$3 want_err=$4 ok=0
    [ "$status" -eq "$want_status" ] || { echo "  status $status, wanted $want_status"; ok=1; }
    cmp -s "$tmp/$name.out" <(printf '%s' "$want_out") ||
        { echo "  stdout: '$(cat "$tmp/$name.out")'"; ok=1; }
    cmp -s "$tmp/$name.err" <(printf '%s' "$want_err") ||
        { echo "  stderr: '$(cat "$tmp/$name.err")'"; ok=1; }
    return $ok
}

mkdir -p "$tmp/run"
declare -A usage_words=([crunchet]="in out.bip" [uncrunchet]="in.bip out"
                        [swapfold]="in.afs out.afs en/ [ja/]")
for program in "${programs[@]}"; do
    run_tool "$program-usage" "$bin/$program"
    check "packaged $program without arguments prints its usage, status 1" \
        expect_run "$program-usage" 1 "" "usage: $bin/$program ${usage_words[$program]}"$'\n'
done

# A file's size in bytes (wc, not GNU stat -c).
size_of() { [ -f "$1" ] && wc -c <"$1" | tr -d ' '; }

# Round trip on a text file and on a binary (the packaged swapfold itself).
seq 1 5000 >"$tmp/run/numbers.txt"
cp "$bin/swapfold" "$tmp/run/program.bin"
for sample in numbers.txt program.bin; do
    size=$(size_of "$tmp/run/$sample")
    run_tool "crunch-$sample" "$bin/crunchet" "$sample" "$sample.bip"
    packed=$(size_of "$tmp/run/$sample.bip" 2>/dev/null || echo missing)
    check "packaged crunchet compresses $sample and reports both sizes" \
        expect_run "crunch-$sample" 0 \
        "Original size: $size bytes"$'\n'"Compressed size: $packed bytes"$'\n' ""
    check "the container of $sample is smaller than $sample" test "$packed" -lt "$size"
    run_tool "uncrunch-$sample" "$bin/uncrunchet" "$sample.bip" "$sample.restored"
    check "packaged uncrunchet restores $sample silently" expect_run "uncrunch-$sample" 0 "" ""
    check "$sample restored byte for byte" cmp "$tmp/run/$sample" "$tmp/run/$sample.restored"
done

# A one-entry archive laid out as swapfold writes them: header, table {2048, 3}, locator
# {24, 48}, one name record, zeros, 3 bytes of data at 2048. (It must not be much smaller:
# the rebuild's data has to end before four times the input's size.)
le32() { # the 4 little-endian bytes of $1
    local i
    # shellcheck disable=SC2059 # the format is the escape being built
    for i in 0 1 2 3; do printf "\\x$(printf %02x $((($1 >> (8 * i)) & 255)))"; done
}
{
    printf 'AFS\0'; le32 1; le32 2048; le32 3; le32 24; le32 48
    printf 'x.bin'; head -c 27 /dev/zero; head -c 12 /dev/zero; le32 3
    head -c $((2048 - 72)) /dev/zero
    printf 'old'
} >"$tmp/run/in.afs"
mkdir -p "$tmp/run/en"
printf 'a new entry' >"$tmp/run/en/x.bin"
run_tool swapfold "$bin/swapfold" in.afs out.afs en ja
check "packaged swapfold extracts and replaces" \
    expect_run swapfold 0 $'-> x.bin\n<- x.bin\n' ""
check "the entry was extracted" cmp "$tmp/run/ja/x.bin" <(printf 'old')
check "the rebuilt archive is 6144 bytes" test "$(size_of "$tmp/run/out.afs")" -eq 6144
check "the replacement sits at 2048" \
    cmp <(tail -c +2049 "$tmp/run/out.afs" | head -c 11) "$tmp/run/en/x.bin"
check "the table points at it and the first locator place is zero" \
    cmp <(head -c 24 "$tmp/run/out.afs") <(printf 'AFS\0'; le32 1; le32 2048; le32 11; le32 0; le32 0)
check "the locator before the data points at the name table" \
    cmp <(tail -c +2041 "$tmp/run/out.afs" | head -c 8) <(le32 4096; le32 48)

if command -v man >/dev/null 2>&1; then
    man_renders() { # the installed page renders under man without warnings
        local page=$1 out err
        out=$(MANWIDTH=80 man --warnings -l "$page" 2>"$tmp/man.err") || return 1
        err=$(cat "$tmp/man.err")
        [ -z "$err" ] || { echo "  $err"; return 1; }
        [[ $out == *NAME* && $out == *SYNOPSIS* && $out == *DIAGNOSTICS* ]]
    }
    for program in "${programs[@]}"; do
        page=$(ls "$root/usr/share/man/man1/$program".1*)
        check "man -l renders the packaged $program page" man_renders "$page"
    done
fi

echo "$failures failed"
[ "$failures" -eq 0 ]
