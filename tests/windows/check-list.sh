#!/bin/sh
# Checks tests/windows/applies.txt against the tests' sources: every test it names is a TEST of
# tests/, and every row it names is a row label there, quoted as written; a name misspelt there
# would otherwise only leave a test or a row out of the Windows test set, unseen.
#
#   check-list.sh TESTS_DIR
set -u
tests=$1
status=0
grep -v '^#' "$tests/windows/applies.txt" | grep -v '^$' | while IFS= read -r line; do
  test=${line%%: *}
  suite=${test%%.*} case=${test#*.}
  if ! grep -rqF "TEST($suite, $case)" "$tests"; then
    echo "no test $test in $tests"
    echo fail
  fi
  if [ "$test" != "$line" ]; then
    label=${line#*: }
    if ! grep -rqF "\"$label\"" "$tests"; then
      echo "no row \"$label\" in $tests (for $test)"
      echo fail
    fi
  fi
done | { out=$(cat); [ -z "$out" ] || { printf '%s\n' "$out" | grep -v '^fail$'; exit 1; }; }
