#!/usr/bin/env bash
# Renders every manual page from the source tree, as `man -M man NAME` does there (from the
# directory that holds man1): each must render without a warning and come out whole, so that a
# .so link that does not resolve shows.
#   man_from_source_test.sh SOURCE_DIR/man
set -uo pipefail
cd "${1:?usage: man_from_source_test.sh SOURCE_DIR/man}" || exit 1
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
passed=0
failed=0
for page in *.1; do
    text=$(groff -man -Tutf8 -P-cbou -ww "$page" 2>"$errors" || true)
    if [ -s "$errors" ] || ! grep -q 'EXIT STATUS' <<<"$text"; then
        echo "FAIL $page: $(cat "$errors")"
        failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
