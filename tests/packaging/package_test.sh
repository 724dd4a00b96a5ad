#!/usr/bin/env bash
# Checks what a user gets from an install or from the Debian package:
#  - every manual page is clean under groff's warnings and is titled with the version, and
#    each program's page, and the README's table of messages, name every message its
#    program can print on standard error;
#  - `cmake --install` puts the four programs into bin/ and their pages into share/man/man1,
#    and refuses, installing nothing, a build that is not complete;
#  - `cpack -G DEB` builds a package, maintained by the project, that carries the licence as
#    its copyright file, its changelog, the README (which every page names) and stripped
#    programs, which, unpacked with `dpkg -x` into a scratch root, run: usage lines, bipafs's
#    help and version, a crunchet/uncrunchet round trip and a small swapfold rebuild;
#  - the packaged bipafs-list lists the bundled sample archive's names and sizes, as
#    swapfold extracts them, and is `bipafs list`;
#  - the README's blocks, each taken from README.md as it stands, run with the packaged tools
#    in a UTF-8 locale: the job with bipafs on an archive with Shift-JIS names,
#    subdirectories, spaces, containers, an empty entry and a 32-byte name (unpack, edit,
#    status, pack, unpack again, compared byte for byte; pack refusing an unknown file), and
#    the two batch blocks on Shift-JIS names, the restore failing on a damaged container.
# Everything is made in a fresh temporary directory; the build directory is only read
# (cmake's install step records its install_manifest.txt there).
#
# usage: package_test.sh SOURCE_DIR BUILD_DIR VERSION
# Exits 0 when every check passes, 1 when one fails, 77 when a needed tool is missing.
set -uo pipefail

readonly skip_status=77
readonly programs=(crunchet uncrunchet swapfold bipafs)
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

# The directories of a program's own sources: its own, and the entries library for the two
# programs that write an archive's entries as files (the archive checks' messages are there).
sources_of() {
    case $1 in
    swapfold | bipafs) printf '%s\n' "$src/src/$1" "$src/src/entries" ;;
    *) printf '%s\n' "$src/src/$1" ;;
    esac
}

# Messages of the shared sources that a program cannot print, one a line: only a program
# that prints lines refuses an output that is its own standard output, and uncrunchet prints
# none; bipafs never writes an entry's file twice, so it never overwrites one.
not_printed_by() {
    case $1 in
    uncrunchet) printf '%s\n' "won't write to '%s': it is this run's standard output" ;;
    bipafs) printf '%s\n' "duplicate name '%s': its earlier entry is overwritten" ;;
    esac
}

# The stderr messages of a program: the format strings passed to fail, fail_with_status,
# fail_because and warn in its sources and in the whole-file helpers (the shared ones and the
# POSIX ones, which the programs here are built with), adjacent literals and
# PRI macros joined. (fail_because adds the system's reason only where a program asks.)
messages_of() {
    local dir files=()
    while IFS= read -r dir; do
        compgen -G "$dir/*.cpp" >/dev/null || { echo "  no sources in $dir" >&2; return 1; }
        files+=("$dir"/*.cpp)
    done < <(sources_of "$1")
    perl -0777 -ne '
        while (/\b(?:fail_with_status|fail_because|fail|warn)\s*\(\s*(?:\w+\s*,\s*)?((?:"(?:[^"\\]|\\.)*"\s*|PRI\w+\s*)+)/g) {
            my ($lit, $fmt) = ($1, "");
            while ($lit =~ /"((?:[^"\\]|\\.)*)"|PRI\w+/g) { $fmt .= defined $1 ? $1 : "u"; }
            $fmt =~ s/\\n$//;
            $fmt =~ s/\\(.)/$1/g;
            print "$fmt\n";
        }' "${files[@]}" "$src/src/wholefile/"*.cpp "$src/src/wholefile/posix/"*.cpp |
        grep -vxF -f <(not_printed_by "$1") | sort -u
}

# Every message must appear in the page's rendered text, each conversion (%s, %zu, ...)
# standing for one placeholder word of the page.
page_names_messages() {
    local program=$1 rendered=$tmp/$1.txt messages=$tmp/$1.messages
    groff -man -Tascii -P-cbou -rLL=300n "$src/docs/man/$program.1" >"$rendered" 2>/dev/null ||
        return 1
    messages_of "$program" >"$messages" || return 1
    [ -s "$messages" ] || { echo "no messages found in the sources of $program"; return 1; }
    all_messages_in "$rendered" "$messages" "the page"
}

# all_messages_in TEXT MESSAGES WHERE: whether every message (a format, one a line) appears in
# the file TEXT, each conversion (%s, %zu, ...) standing for one placeholder word; names each
# that does not.
all_messages_in() {
    perl -e '
        my ($file, $messages, $where) = @ARGV;
        open my $r, "<", $file or die; my $text = do { local $/; <$r> };
        open my $m, "<", $messages or die;
        my $missing = 0;
        while (my $fmt = <$m>) {
            chomp $fmt;
            my $re = join "\\S+", map { quotemeta } split /%[-+ #0-9.*]*(?:hh|h|ll|l|z|j|t)?[diouxXsc]/, $fmt, -1;
            next if $text =~ /$re/;
            print "  not in $where: \"$fmt\"\n";
            $missing = 1;
        }
        exit $missing;' "$1" "$2" "$3"
}

page_has_version() { # the title line names the project's current version
    grep -q "^\.TH .* \"bipafs $version\" " "$1" || { echo "  $(grep '^\.TH' "$1")"; return 1; }
}

for program in "${programs[@]}"; do
    check "groff -ww is silent on $program.1" groff_is_silent "$src/docs/man/$program.1"
    check "$program.1 is titled with version $version" page_has_version "$src/docs/man/$program.1"
    check "$program.1 names every message of $program" page_names_messages "$program"
done
# The README's table of messages (the rows of its section "Exit statuses and messages") has a
# row for every message of a program, with the program named in its tool column.
readme_names_messages() {
    local program=$1 messages=$tmp/$1.messages cells=$tmp/$1.cells
    messages_of "$program" >"$messages" || return 1
    perl -e '
        my ($readme, $program) = @ARGV;
        open my $r, "<", $readme or die;
        my ($inside, @cells) = (0);
        while (<$r>) {
            if (/^#+ /) { $inside = /^### Exit statuses and messages$/; next; }
            next unless $inside && /^\| /;
            my (undef, $message, $tools) = split /\s*\|\s*/;
            push @cells, $message if grep { $_ eq $program } split /,\s*/, $tools;
        }
        die "  no rows for $program\n" unless @cells;
        print join "\n", @cells;' "$src/README.md" "$program" >"$cells" || return 1
    all_messages_in "$cells" "$messages" "the README for $program"
}
for program in "${programs[@]}"; do
    check "the README's table names every message of $program" readme_names_messages "$program"
done
check "groff -ww is silent on bipafs-list.1" groff_is_silent "$src/docs/man/bipafs-list.1"
check "bipafs-list.1 is titled with version $version" page_has_version "$src/docs/man/bipafs-list.1"

# --- cmake --install -------------------------------------------------------------------

installed_layout() { # ROOT BINDIR MANDIR: the programs, the listing script and their pages
    local root=$1 bindir=$2 mandir=$3 program ok=0
    for program in "${programs[@]}" bipafs-list; do
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

# A build of some targets only (the programs without their pages) must be refused before
# anything is copied, not leave programs installed without pages. Such a build is made here
# without compiling: the sources configured afresh, the programs stood in for by scripts.
partial=$tmp/partial
generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$build/CMakeCache.txt")
if cmake -S "$src" -B "$partial" ${generator:+-G "$generator"} -DBIPAFS_BUILD_TESTS=OFF \
    >"$tmp/partial.log" 2>&1; then
    for program in crunchet uncrunchet swapfold bipafs; do
        mkdir -p "$partial/src/$program"
        printf '#!/bin/sh\n' >"$partial/src/$program/$program"
        chmod +x "$partial/src/$program/$program"
    done
    cmake --install "$partial" --prefix "$tmp/partial-prefix" >"$tmp/partial-install.log" 2>&1
    status=$?
    refused_whole() {
        [ "$status" -ne 0 ] || { echo "  status 0"; return 1; }
        grep -q 'is not complete' "$tmp/partial-install.log" || { cat "$tmp/partial-install.log"; return 1; }
        [ ! -e "$tmp/partial-prefix" ] || { echo "  installed: $(cd "$tmp/partial-prefix" && find . -type f)"; return 1; }
    }
    check "cmake --install refuses a build without its pages, installing nothing" refused_whole
else
    cat "$tmp/partial.log"
    check "the sources configure afresh" false
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
check "package maintainer is the project" control_field_matches Maintainer '^bipafs .*<.+@.+>$'
check "package depends on the C library" control_field_matches Depends 'libc6'
check "package description" control_field_matches Description 'AFS'
# A line of the long description that begins with a dot is a control statement to dpkg.
description_lines_are_text() {
    local bad
    bad=$(dpkg-deb -f "$deb" Description | grep -E '^ \.[^[:space:]]')
    [ -z "$bad" ] || { echo "  $bad"; return 1; }
}
check "no line of the package description begins with a dot" description_lines_are_text

root=$tmp/root
dpkg -x "$deb" "$root"
check "the package holds programs and pages" installed_layout "$root" usr/bin usr/share/man/man1
check "the package's copyright file is the licence" \
    cmp "$root/usr/share/doc/bipafs/copyright" "$src/LICENSE"
changelog_names_version() { # the changelog's first entry is this version, by the maintainer
    local log
    log=$(gzip -dc "$root/usr/share/doc/bipafs/changelog.gz") || return 1
    [[ $log == "bipafs ($version) "* ]] || { echo "  ${log%%$'\n'*}"; return 1; }
    [[ $log == *" -- $(dpkg-deb -f "$deb" Maintainer)  "* ]] || { echo "  no maintainer line"; return 1; }
}
check "the package's changelog names version $version" changelog_names_version
check "the package carries the README" \
    cmp <(gzip -dc "$root/usr/share/doc/bipafs/README.md.gz") "$src/README.md"
# Every page sends its reader to the README the package carries, for the job and the
# mistakes to avoid.
pages_point_to_readme() {
    local page ok=0
    [ -f "$root/usr/share/doc/bipafs/README.md.gz" ] || { echo "  no README in the package"; return 1; }
    for page in "${programs[@]}" bipafs-list; do
        zcat -f "$root/usr/share/man/man1/$page".1* | grep -qF '/usr/share/doc/bipafs/README.md.gz' ||
            { echo "  $page.1 does not name /usr/share/doc/bipafs/README.md.gz"; ok=1; }
    done
    return $ok
}
check "every packaged page names the packaged README" pages_point_to_readme
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
                        [swapfold]="in.afs out.afs en/ [ja/]" [bipafs]="pack DIR NEW.afs")
declare -A usage_args=([bipafs]=pack)
for program in "${programs[@]}"; do
    # shellcheck disable=SC2086 # the one argument, or none
    run_tool "$program-usage" "$bin/$program" ${usage_args[$program]:-}
    check "packaged $program ${usage_args[$program]:-without arguments} prints its usage, status 1" \
        expect_run "$program-usage" 1 "" "usage: $bin/$program ${usage_words[$program]}"$'\n'
done
run_tool bipafs-help "$bin/bipafs" --help
help_text=$(cat "$tmp/bipafs-help.out"; printf x)
help_text=${help_text%x}
check "packaged bipafs --help prints its overview, from its usage line, status 0" \
    expect_run bipafs-help 0 "usage: bipafs COMMAND ARGUMENTS"$'\n'"${help_text#*$'\n'}" ""
check "... which names the commands" grep -q '^  bipafs pack DIR NEW.afs ' "$tmp/bipafs-help.out"
run_tool bipafs-bare "$bin/bipafs"
check "packaged bipafs without arguments prints the overview on standard error, status 1" \
    expect_run bipafs-bare 1 "" "$help_text"
run_tool bipafs-version "$bin/bipafs" --version
check "packaged bipafs --version prints version $version" \
    expect_run bipafs-version 0 "bipafs $version"$'\n' ""

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

# --- bipafs-list -----------------------------------------------------------------------

# The sample archive's entries as swapfold extracts them: "SIZE NAME" lines in table order,
# and the names alone, each followed by a zero byte.
mkdir -p "$tmp/list"
run_tool sample-extract "$bin/swapfold" "$src/examples/sample.afs" /dev/null "" "$tmp/list/ja"
sed -n 's/^-> //p' "$tmp/sample-extract.out" >"$tmp/list/names"
while IFS= read -r name; do
    printf '%s %s\n' "$(size_of "$tmp/list/ja/$name")" "$name"
done <"$tmp/list/names" >"$tmp/list/expected"
tr '\n' '\0' <"$tmp/list/names" >"$tmp/list/expected0"
lists_sample() { # the listing and the -0 listing of the sample are what extraction gave
    local ok=0
    [ "$(wc -l <"$tmp/list/names")" -eq 5 ] || { echo "  extraction gave no names"; return 1; }
    if ! "$bin/bipafs-list" "$src/examples/sample.afs" >"$tmp/list/listed" 2>"$tmp/list/err" ||
        ! cmp -s "$tmp/list/listed" "$tmp/list/expected" || [ -s "$tmp/list/err" ]; then
        echo "  listed: '$(cat "$tmp/list/listed" "$tmp/list/err")'"
        ok=1
    fi
    if ! "$bin/bipafs-list" -0 "$src/examples/sample.afs" >"$tmp/list/listed0" ||
        ! cmp -s "$tmp/list/listed0" "$tmp/list/expected0"; then
        echo "  -0 differs"
        ok=1
    fi
    return $ok
}
check "packaged bipafs-list lists the sample archive's names and sizes" lists_sample

# bipafs-list runs `bipafs list` from beside it: on a wrong command line too, the two print
# the same, with the same status.
same_as_bipafs_list() {
    local ok=0 wrapper_status list_status
    (cd "$tmp/run" && "$bin/bipafs-list" -0) >"$tmp/list/wrapper.out" 2>"$tmp/list/wrapper.err"
    wrapper_status=$?
    (cd "$tmp/run" && "$bin/bipafs" list -0) >"$tmp/list/list.out" 2>"$tmp/list/list.err"
    list_status=$?
    if [ "$wrapper_status" -ne "$list_status" ] || [ "$list_status" -ne 1 ]; then
        echo "  status $wrapper_status, bipafs list $list_status"
        ok=1
    fi
    if ! cmp -s "$tmp/list/wrapper.out" "$tmp/list/list.out" ||
        ! cmp -s "$tmp/list/wrapper.err" "$tmp/list/list.err"; then
        echo "  '$(cat "$tmp/list/wrapper.err")' against '$(cat "$tmp/list/list.err")'"
        ok=1
    fi
    return $ok
}
check "packaged bipafs-list is bipafs list, its usage included" same_as_bipafs_list

# --- the README's blocks, run as written -------------------------------------------------

# readme_block NAME: the shell block that follows "<!-- walkthrough: NAME -->" in README.md
readme_block() {
    awk -v marker="<!-- walkthrough: $1 -->" '
        $0 == marker { found = 1; next }
        found && $0 == "```sh" { inside = 1; next }
        inside && $0 == "```" { exit }
        inside { print }' "$src/README.md"
}

# The blocks run in a UTF-8 locale, where a byte that is not UTF-8 (most Shift-JIS
# characters) matches no character: a block that handles names as text fails there.
readonly utf8_locale=C.UTF-8
utf8_locale_exists() {
    locale -a 2>/dev/null | grep -qixE 'c\.utf-?8' || { echo "  no C.UTF-8 in 'locale -a'"; return 1; }
}
check "the locale $utf8_locale exists, for the README's blocks" utf8_locale_exists

# run_block DIR NAME: runs that block with sh in DIR, in the UTF-8 locale, with the packaged
# tools first on the PATH; status, stdout and stderr as run_tool leaves them (NAME.out and
# NAME.err).
run_block() {
    local dir=$1 name=$2 block
    block=$(readme_block "$name")
    : >"$tmp/$name.out"
    if [ -z "$block" ]; then
        echo "README.md has no walkthrough block '$name'" >"$tmp/$name.err"
        status=99
        return
    fi
    (cd "$dir" && LC_ALL=$utf8_locale PATH="$bin:$PATH" sh -c "$block") >"$tmp/$name.out" \
        2>"$tmp/$name.err"
    status=$?
}

# Shift-JIS names: ゲーム (a lead byte 0x83 before 0x80, one of the C1 codes in Latin-1) and
# 表, whose second byte is a backslash.
readonly sjis_dir=$'\x83\x51\x81\x5b\x83\x80' sjis_file=$'\x95\x5c'

# A game archive written field by field: entries in the order given as NAME=FILE (no FILE:
# an entry without data), each at a multiple of 2048, the name table last.
write_archive() { # OUT NAME=FILE...
    perl -e '
        my $out = shift;
        my @entries = map { [split /=/, $_, 2] } @ARGV;
        my $n = @entries;
        my $at = 2048 * int((8 * ($n + 2) + 2047) / 2048);
        my ($table, $data, $names) = ("", "", "");
        for my $e (@entries) {
            my ($name, $file) = @$e;
            my $content = "";
            if (length $file) { open my $f, "<", $file or die "$file"; local $/; $content = <$f> // ""; }
            $table .= pack "VV", (length $file ? $at + length $data : 0), length $content;
            $data .= $content . "\0" x ((-length $content) % 2048) if length $file;
            $names .= pack "a32 x12 V", $name, length $content;
        }
        my $archive = "AFS\0" . pack("V", $n) . $table . pack("VV", $at + length $data, 48 * $n);
        $archive .= "\0" x ($at - length $archive) . $data . $names;
        $archive .= "\0" x ((-length $archive) % 2048);
        open my $f, ">", $out or die; print $f $archive;' "$@"
}

# The job with bipafs, on an archive of containers, plain files, names with spaces, in
# subdirectories and in Shift-JIS, an empty entry, one without data and a 32-byte name.
game=$tmp/game content=$tmp/content
mkdir -p "$game" "$content"
printf 'readme\n' >"$content/readme.txt"
printf 'Day one.\nThe village sleeps.\n' >"$content/day1.txt"
printf 'Day two.\nThe bridge is out.\n' >"$content/day2.txt"
printf 'New game\nContinue\n' >"$content/title.txt"
printf '\x83\x51\x81\x5b\x83\x80\x82\xf0\x8e\x6e\x82\xdf\x82\xe9\n' >"$content/sjis.txt"
seq 1 300 >"$content/long.txt"
: >"$content/empty"
for text in day1 day2 sjis; do
    "$bin/crunchet" "$content/$text.txt" "$content/$text.bip" >/dev/null
done
names=("readme.txt" "script/day 1.txt.bip" "script/day 2.txt.bip" "menu/title screen.txt"
       "empty.bin" "unused.bin" "$sjis_dir/$sjis_file.txt.bip" "script/thirty-two-bytes-name.bin")
files=(readme.txt day1.bip day2.bip title.txt empty "" sjis.bip long.txt)
entries=()
for i in "${!names[@]}"; do
    entries+=("${names[$i]}=${files[$i]:+$content/${files[$i]}}")
done
write_archive "$game/game.afs" "${entries[@]}"
cp "$game/game.afs" "$tmp/game.orig.afs"

list_names() { # bipafs list -0 gives every name, raw, in table order
    "$bin/bipafs" list -0 "$game/game.afs" >"$tmp/names0" || return 1
    cmp -s "$tmp/names0" <(printf '%s\0' "${names[@]}") || { echo "  names differ"; return 1; }
}
check "bipafs list -0 gives the Shift-JIS archive's names as they are" list_names

run_block "$game" unpack
check "README job, unpack: one line, the files written and the containers restored" \
    expect_run unpack 0 $'unpacked 7 entries into work (3 restored from .bip)\n' ""
check "README job, unpack: a container with a Shift-JIS name is restored" \
    cmp "$game/work/$sjis_dir/$sjis_file.txt" "$content/sjis.txt"
check "README job, unpack: a plain entry is written as it is" \
    cmp "$game/work/menu/title screen.txt" "$content/title.txt"
run_block "$game" unpack
check "README job, unpack again: refuses the directory, which is not empty" \
    expect_run unpack 1 "" $'won\'t unpack into \'work\': it is not empty\n'

# The edits: a restored container put back with its old time, and a plain file.
printf 'Jour un.\n' >>"$game/work/$sjis_dir/$sjis_file.txt"
touch -r "$content/sjis.txt" "$game/work/$sjis_dir/$sjis_file.txt"
printf 'Nouvelle partie\nContinuer\n' >"$game/work/menu/title screen.txt"

run_block "$game" status
check "README job, status: names the two files changed, by content" \
    expect_run status 0 "changed: menu/title screen.txt"$'\n'"changed: $sjis_dir/$sjis_file.txt"$'\n'"2 changed, 0 unknown, 0 missing, of 7 files unpacked"$'\n' ""

cp "$game/work/menu/title screen.txt" "$game/work/menu/title screen.txt~"
run_block "$game" pack
check "README job, pack: refuses a file that matches no entry, naming it" \
    expect_run pack 1 "" "'work/menu/title screen.txt~' matches no entry"$'\n'"nothing written to 'game.new.afs': the files named above can't be packed"$'\n'
check "README job, pack: ... and writes nothing" test ! -e "$game/game.new.afs"
rm "$game/work/menu/title screen.txt~"

run_block "$game" pack
check "README job, pack: one line, the files changed and the containers recompressed" \
    expect_run pack 0 $'packed game.new.afs: 2 of 7 entries changed (1 recompressed)\n' ""
check "README job, pack: the original archive is as it was" cmp "$game/game.afs" "$tmp/game.orig.afs"

run_block "$game" check
check "README job, check: the new archive unpacks to the edited files" \
    expect_run check 0 $'unpacked 7 entries into check (3 restored from .bip)\n' ""

# The new archive unpacked again, by the test itself, holds every file of work/ byte for
# byte, and no other; its changed container is crunchet's container of the edit, and every
# other entry keeps its bytes.
same_files() { # DIR1 DIR2: the same files, byte for byte, the record left out
    local a=$1 b=$2 ok=0 f
    cmp -s <(cd "$a" && find . -path ./.bipafs -prune -o -type f -print0 | sort -z) \
        <(cd "$b" && find . -path ./.bipafs -prune -o -type f -print0 | sort -z) ||
        { echo "  the lists of files differ"; return 1; }
    while IFS= read -r -d '' f; do
        cmp -s "$a/$f" "$b/$f" || { echo "  differs: $f"; ok=1; }
    done < <(cd "$a" && find . -path ./.bipafs -prune -o -type f -print0)
    return $ok
}
"$bin/bipafs" unpack "$game/game.new.afs" "$tmp/again" >/dev/null 2>"$tmp/again.err"
check "README job: the packed archive unpacks again to work/, byte for byte" \
    same_files "$game/work" "$tmp/again"
mkdir -p "$tmp/raw/$sjis_dir" "$tmp/raw/script" "$tmp/raw/menu"
"$bin/swapfold" "$game/game.new.afs" /dev/null "" "$tmp/raw" >/dev/null
"$bin/crunchet" "$game/work/$sjis_dir/$sjis_file.txt" "$tmp/edited.bip" >/dev/null
check "README job: the changed container is crunchet's container of the edit" \
    cmp "$tmp/raw/$sjis_dir/$sjis_file.txt.bip" "$tmp/edited.bip"
unchanged_entries_kept() {
    cmp "$tmp/raw/script/day 1.txt.bip" "$content/day1.bip" &&
        cmp "$tmp/raw/script/day 2.txt.bip" "$content/day2.bip" &&
        cmp "$tmp/raw/script/thirty-two-bytes-name.bin" "$content/long.txt" &&
        cmp "$tmp/raw/readme.txt" "$content/readme.txt"
}
check "README job: every unchanged entry keeps its bytes" unchanged_entries_kept

# Many files at once: the two blocks on names with spaces, a newline and Shift-JIS, then a
# damaged container, whose warning fails the batch.
data=$tmp/many/data
mkdir -p "$data/$sjis_dir" "$data/plain"
seq 1 2000 >"$data/$sjis_dir/$sjis_file 1.bin"
cp "$bin/swapfold" "$data/plain/a b.bin"
printf 'two\nlines\n' >"$data/plain/new"$'\n'"line.bin"
originals=$tmp/many/originals
mkdir -p "$originals"
cp -a "$data/." "$originals"
run_block "$tmp/many" compress-many
check "README, many files: compresses every .bin file, silently" expect_run compress-many 0 "" ""
containers_beside() {
    local f ok=0
    while IFS= read -r -d '' f; do
        [ -f "$f.bip" ] || { echo "  no container beside $f"; ok=1; }
    done < <(find "$data" -name '*.bin' -print0)
    return $ok
}
check "README, many files: each container is beside its source" containers_beside
find "$data" -name '*.bin' -delete
run_block "$tmp/many" restore-many
check "README, many files: restores every container, silently" expect_run restore-many 0 "" ""
restored_as_they_were() { # every original .bin file is in data/ again, byte for byte
    local f ok=0
    while IFS= read -r -d '' f; do
        cmp -s "$originals/$f" "$data/$f" || { echo "  differs: $f"; ok=1; }
    done < <(cd "$originals" && find . -type f -print0)
    return $ok
}
check "README, many files: every file restored byte for byte" restored_as_they_were
head -c 30 "$data/plain/a b.bin.bip" >"$data/cut.bin.bip"
run_block "$tmp/many" restore-many
check "README, many files: a damaged container fails the batch" test "$status" -ne 0
check "README, many files: ... with uncrunchet's warning, naming it" \
    grep -q "^'data/cut.bin.bip': the header states " "$tmp/restore-many.err"

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
