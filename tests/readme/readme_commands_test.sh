#!/usr/bin/env bash
# Runs the runnable command blocks of the README and of the guides as a reader would, so that
# they cannot drift from the programs: each file's blocks one after the other, in a temporary
# directory of that file's own (a guide's commands may use what its earlier commands made), on
# the simulated thermometer. A block is runnable when the line before its fence is one of
#   <!-- runnable -->                  every command ends by itself, with status 0
#   <!-- runnable until stopped -->    every command runs until it is stopped (Ctrl-C): after
#                                      a few seconds it still runs, has printed something, and
#                                      gets SIGINT
# Other blocks are left alone; a marker that is not right before a fence is an error, since its
# block would silently not run. Each command (a line, with its continuation lines) runs in bash
# under libfaketime's clock, sixty times real time, so that minutes of logging pass in seconds,
# with its output line-buffered as on a terminal (a pipe's last program would otherwise hold
# what it printed when it is stopped).
# build/ and scripts/ in each directory lead to the build and to the repository's scripts.
#   readme_commands_test.sh BUILD_DIR SCRIPTS_DIR LIBFAKETIME FILE...
# QUORVANE_UNTIL_STOPPED sets the seconds a "until stopped" command runs (default 4).
set -euo pipefail

build=$(cd "$1" && pwd)
scripts=$(cd "$2" && pwd)
libfaketime=$3
shift 3
[ "$#" -gt 0 ] || { echo "usage: $0 BUILD_DIR SCRIPTS_DIR LIBFAKETIME FILE..." >&2; exit 2; }
until_stopped=${QUORVANE_UNTIL_STOPPED:-4}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The blocks of every file as "FILE<TAB>MODE<TAB>LINE-NUMBER<TAB>COMMAND" lines, continuation
# lines joined.
: >"$work/commands"
for file in "$@"; do
    awk -v file="$file" '
        function misplaced() {
            printf "FAIL: %s line %d: a runnable marker must stand on the line right before a fence\n", file, armed > "/dev/stderr"
            bad = 1
        }
        armed && armed == NR - 1 && !/^```/ { misplaced() }
        /^<!-- runnable( until stopped)? -->$/ { mode = ($0 ~ /until stopped/) ? "stopped" : "ends"; armed = NR; next }
        /^```/ {
            if (inside) { inside = 0; next }
            if (armed == NR - 1) { inside = 1 }
            next
        }
        inside {
            line = $0
            if (pending != "") { sub(/^[ \t]+/, "", line); line = pending " " line } else { at = NR }
            if (line ~ /\\$/) { sub(/\\$/, "", line); pending = line; next }
            pending = ""
            if (line ~ /^[ \t]*(#.*)?$/) next
            printf "%s\t%s\t%d\t%s\n", file, mode, at, line
        }
        END { if (armed == NR) misplaced(); exit bad }
    ' "$file" >>"$work/commands" || exit 1
done
[ -s "$work/commands" ] || { echo "FAIL: no runnable block in $*" >&2; exit 1; }

failures=0
count=0
while IFS=$'\t' read -r file mode at command; do
    count=$((count + 1))
    # One directory a file, made at its first command.
    run=$work/run.$(printf '%s' "$file" | tr -c 'A-Za-z0-9_.-' '_')
    if [ ! -d "$run" ]; then
        mkdir "$run"
        ln -s "$build" "$run/build"
        ln -s "$scripts" "$run/scripts"
    fi
    out=$work/out.$count
    status=0
    # timeout signals its whole process group, so a pipeline stops as under Ctrl-C.
    (cd "$run" && timeout -s INT "$([ "$mode" = stopped ] && echo "$until_stopped" || echo 120)" \
        env LD_PRELOAD="$libfaketime" FAKETIME="@2026-03-01 10:00:00 x60" FAKETIME_DONT_RESET=1 \
        stdbuf -oL bash -o pipefail -c "$command") </dev/null >"$out" 2>&1 || status=$?
    if [ "$mode" = ends ] && [ "$status" -ne 0 ]; then
        echo "FAIL: $file line $at ended with status $status: $command" >&2
        sed 's/^/    /' "$out" | head -20 >&2
        failures=$((failures + 1))
    elif [ "$mode" = stopped ] && [ "$status" -ne 124 ]; then
        echo "FAIL: $file line $at did not run until stopped (status $status): $command" >&2
        sed 's/^/    /' "$out" | head -20 >&2
        failures=$((failures + 1))
    elif [ "$mode" = stopped ] && [ ! -s "$out" ]; then
        echo "FAIL: $file line $at printed nothing in $until_stopped seconds: $command" >&2
        failures=$((failures + 1))
    else
        echo "ok: $file line $at: $command"
    fi
done <"$work/commands"

[ "$failures" -eq 0 ] || { echo "$failures of $count runnable commands failed" >&2; exit 1; }
echo "all $count runnable commands of $# files work as printed"
