#!/usr/bin/env bash
# Runs the README's runnable command blocks as a reader would, one after the other in one
# temporary directory, on the simulated thermometer, so that the README cannot drift from the
# programs. A block is runnable when the line before its fence is one of
#   <!-- runnable -->                  every command ends by itself, with status 0
#   <!-- runnable until stopped -->    every command runs until it is stopped (Ctrl-C): after
#                                      a few seconds it still runs, has printed something, and
#                                      gets SIGINT
# Other blocks are left alone. Each command (a line, with its continuation lines) runs in bash
# under libfaketime's clock, sixty times real time, so that minutes of logging pass in seconds,
# with its output line-buffered as on a terminal (a pipe's last program would otherwise hold
# what it printed when it is stopped).
# build/ and scripts/ in the directory lead to the build and to the repository's scripts.
#   readme_commands_test.sh README BUILD_DIR SCRIPTS_DIR LIBFAKETIME [SECONDS_UNTIL_STOPPED]
set -euo pipefail

readme=$1
build=$(cd "$2" && pwd)
scripts=$(cd "$3" && pwd)
libfaketime=$4
until_stopped=${5:-4}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run"
ln -s "$build" "$work/run/build"
ln -s "$scripts" "$work/run/scripts"

# The blocks as "MODE<TAB>LINE-NUMBER<TAB>COMMAND" lines, continuation lines joined.
awk '
    /^<!-- runnable( until stopped)? -->$/ { mode = ($0 ~ /until stopped/) ? "stopped" : "ends"; armed = NR; next }
    /^```/ {
        if (inside) { inside = 0; next }
        if (armed == NR - 1) { inside = 1; blocks++ }
        next
    }
    inside {
        line = $0
        if (pending != "") { sub(/^[ \t]+/, "", line); line = pending " " line } else { at = NR }
        if (line ~ /\\$/) { sub(/\\$/, "", line); pending = line; next }
        pending = ""
        if (line ~ /^[ \t]*(#.*)?$/) next
        printf "%s\t%d\t%s\n", mode, at, line
    }
    END { if (blocks == 0) exit 3 }
' "$readme" >"$work/commands" || { echo "FAIL: no runnable block in $readme" >&2; exit 1; }

failures=0
count=0
while IFS=$'\t' read -r mode at command; do
    count=$((count + 1))
    out=$work/out.$count
    status=0
    # timeout signals its whole process group, so a pipeline stops as under Ctrl-C.
    (cd "$work/run" && timeout -s INT "$([ "$mode" = stopped ] && echo "$until_stopped" || echo 120)" \
        env LD_PRELOAD="$libfaketime" FAKETIME="@2026-03-01 10:00:00 x60" FAKETIME_DONT_RESET=1 \
        stdbuf -oL bash -o pipefail -c "$command") </dev/null >"$out" 2>&1 || status=$?
    if [ "$mode" = ends ] && [ "$status" -ne 0 ]; then
        echo "FAIL: README line $at ended with status $status: $command" >&2
        sed 's/^/    /' "$out" | head -20 >&2
        failures=$((failures + 1))
    elif [ "$mode" = stopped ] && [ "$status" -ne 124 ]; then
        echo "FAIL: README line $at did not run until stopped (status $status): $command" >&2
        sed 's/^/    /' "$out" | head -20 >&2
        failures=$((failures + 1))
    elif [ "$mode" = stopped ] && [ ! -s "$out" ]; then
        echo "FAIL: README line $at printed nothing in $until_stopped seconds: $command" >&2
        failures=$((failures + 1))
    else
        echo "ok: README line $at: $command"
    fi
done <"$work/commands"

[ "$failures" -eq 0 ] || { echo "$failures of $count README commands failed" >&2; exit 1; }
echo "all $count runnable README commands work as printed"
