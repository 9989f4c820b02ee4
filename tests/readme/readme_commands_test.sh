#!/usr/bin/env bash
# Runs the runnable command blocks of the README and of the guides as a reader would, so that
# they cannot drift from the programs: each file's blocks one after the other, in a temporary
# directory of that file's own (a guide's commands may use what its earlier commands made), the
# files side by side, on the simulated thermometer. A block is runnable when the line before its
# fence is one of
#   <!-- runnable -->                  every command ends by itself, with status 0
#   <!-- runnable until stopped -->    every command runs until it is stopped (Ctrl-C): it
#                                      prints three lines and still runs, then gets SIGINT
#   <!-- runnable until stopped after N lines -->
#                                      the same once it has printed N lines, for a block whose
#                                      later commands need it to have run a while
# Other blocks are left alone; a marker that is not right before a fence is an error, since its
# block would silently not run. Each command (a line, with its continuation lines) runs in bash
# under libfaketime's clock, sixty times real time, so that minutes of logging pass in seconds,
# with its output line-buffered as on a terminal (a pipe's last program would otherwise hold
# what it printed when it is stopped), and with a /tmp and a /dev/shm of its file's own where
# the system lets it have them (a mount namespace): what the guides and the programs write there
# stays in the test's directory.
# build/ and scripts/ in each directory lead to the build and to the repository's scripts.
#   readme_commands_test.sh BUILD_DIR SCRIPTS_DIR LIBFAKETIME FILE...
set -euo pipefail

build=$(cd "$1" && pwd)
scripts=$(cd "$2" && pwd)
libfaketime=$3
shift 3
[ "$#" -gt 0 ] || { echo "usage: $0 BUILD_DIR SCRIPTS_DIR LIBFAKETIME FILE..." >&2; exit 2; }
# Only a safety net: a command that ends or prints well within it is judged at once.
patience=300

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The blocks of every file as "MODE<TAB>LINES<TAB>LINE-NUMBER<TAB>COMMAND" lines in
# $work/commands.N (N the file's place among the arguments), continuation lines joined.
index=0
for file in "$@"; do
    index=$((index + 1))
    awk -v file="$file" '
        function misplaced() {
            printf "FAIL: %s line %d: a runnable marker must stand on the line right before a fence\n", file, armed > "/dev/stderr"
            bad = 1
        }
        armed && armed == NR - 1 && !/^```/ { misplaced() }
        /^<!-- runnable( until stopped( after [0-9]+ lines)?)? -->$/ {
            mode = ($0 ~ /until stopped/) ? "stopped" : "ends"
            lines = ($0 ~ /after/) ? $6 : 3
            armed = NR
            next
        }
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
            printf "%s\t%d\t%d\t%s\n", mode, lines, at, line
        }
        END { if (armed == NR) misplaced(); exit bad }
    ' "$file" >"$work/commands.$index" || exit 1
done
count=$(cat "$work"/commands.* | wc -l)
[ "$count" -gt 0 ] || { echo "FAIL: no runnable block in $*" >&2; exit 1; }

# A private /tmp and /dev/shm (where libfaketime leaves the clock it shares with a program's
# children when a signal ends the program): a mount namespace of the command's own, as root or,
# for anyone else, inside a user namespace; the test's own directory stays where it was, mounted
# again inside the private /tmp when it lies in /tmp. Where neither namespace is allowed, a
# command that names /tmp is not run.
#   PRIVATE_TMP PRIVATE_SHM WORK COMMAND...
enter_private_tmp='private=$0 shm=$1 work=$2
shift 2
case $work in /tmp/*) mkdir -p "$private${work#/tmp}" && mount --bind "$work" "$private${work#/tmp}" ;; esac &&
    mount --rbind "$private" /tmp && mount --bind "$shm" /dev/shm && exec "$@"'
private_tmp=()
for candidate in "unshare --mount" "unshare --user --map-root-user --mount"; do
    read -ra try <<<"$candidate"
    if "${try[@]}" sh -c 'mount --bind "$0" /tmp' "$work" 2>/dev/null; then
        private_tmp=("${try[@]}" sh -c "$enter_private_tmp")
        break
    fi
done

# The lines with something on them in a file (the program's lines begin with their newline).
lines_in() {
    grep -c . "$1" || true
}

# Runs the commands of one file in order and reports each; its status is the number of failures.
run_file() {
    local file=$1 commands=$2
    local run=$work/run.$3
    local failures=0 count=0
    mkdir "$run" "$run.tmp" "$run.shm"
    chmod 1777 "$run.tmp" "$run.shm"
    ln -s "$build" "$run/build"
    ln -s "$scripts" "$run/scripts"
    local mode lines at command
    while IFS=$'\t' read -r mode lines at command; do
        count=$((count + 1))
        local out=$run.out.$count
        local launch=()
        if [ "${#private_tmp[@]}" -gt 0 ]; then
            launch=("${private_tmp[@]}" "$run.tmp" "$run.shm" "$work")
        elif [[ $command == */tmp* ]]; then
            echo "skipped: $file line $at: no private /tmp here (unshare refused): $command"
            continue
        fi
        # The build tools keep the real clock: on the fake one, make finds the compiler's headers
        # centuries newer than the objects and builds again, in the build the other tests use.
        launch+=(env --default-signal=INT LD_PRELOAD="$libfaketime"
            FAKETIME="@2026-03-01 10:00:00 x60" FAKETIME_DONT_RESET=1
            FAKETIME_SKIP_CMDS=cmake,gmake,make,ninja stdbuf -oL bash -o pipefail -c "$command")
        : >"$out"
        local status=0 problem= began=$EPOCHREALTIME
        if [ "$mode" = ends ]; then
            # timeout signals its whole process group, so a pipeline stops as under Ctrl-C.
            (cd "$run" && exec timeout -k 10 -s INT "$patience" "${launch[@]}") </dev/null \
                >"$out" 2>&1 || status=$?
            if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
                problem="still running after $patience s"
            elif [ "$status" -ne 0 ]; then
                problem="ended with status $status"
            fi
        else
            # A session of its own, as a terminal gives a foreground job: SIGINT then reaches
            # every program of a pipeline, as Ctrl-C does.
            (cd "$run" && exec setsid "${launch[@]}") </dev/null >"$out" 2>&1 &
            local pid=$! started=$SECONDS
            while kill -0 "$pid" 2>/dev/null && [ "$(lines_in "$out")" -lt "$lines" ] &&
                [ $((SECONDS - started)) -lt "$patience" ]; do
                sleep 0.1
            done
            if ! kill -0 "$pid" 2>/dev/null; then
                problem="ended by itself after $(lines_in "$out") lines"
            elif [ "$(lines_in "$out")" -lt "$lines" ]; then
                problem="printed $(lines_in "$out") of $lines lines in $patience s"
            fi
            kill -INT -- "-$pid" 2>/dev/null || true
            local stopping=$SECONDS
            while kill -0 "$pid" 2>/dev/null && [ $((SECONDS - stopping)) -lt 30 ]; do
                sleep 0.1
            done
            if kill -0 "$pid" 2>/dev/null; then
                problem="${problem:-ran on} after Ctrl-C"
                kill -KILL -- "-$pid" 2>/dev/null || true
            fi
            { wait "$pid"; } 2>/dev/null || true
        fi
        local took
        took=$(awk -v a="$began" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f s", b - a }')
        if [ -n "$problem" ]; then
            echo "FAIL: $file line $at $problem ($took): $command"
            sed 's/^/    /' "$out" | head -20
            failures=$((failures + 1))
        else
            echo "ok ($took): $file line $at: $command"
        fi
    done <"$commands"
    return "$failures"
}

index=0
pids=()
for file in "$@"; do
    index=$((index + 1))
    if [ -s "$work/commands.$index" ]; then
        run_file "$file" "$work/commands.$index" "$index" >"$work/report.$index" 2>&1 &
        pids+=("$!")
    fi
done
failures=0
for pid in "${pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    failures=$((failures + status))
done
for ((i = 1; i <= index; i++)); do
    [ ! -e "$work/report.$i" ] || cat "$work/report.$i"
done
[ "$failures" -eq 0 ] || { echo "$failures of $count runnable commands failed" >&2; exit 1; }
skipped=$(cat "$work"/report.* | grep -c '^skipped:' || true)
echo "all $((count - skipped)) runnable commands of $# files work as printed, $skipped skipped"
