#!/usr/bin/env bash
# Simulated readings of two thermometers on their way into Prometheus, through the real programs:
# two quorvane-exports run quorvane_sim and write a text file each, promtool accepts them,
# node_exporter's text-file collector serves both side by side without an error, and a Prometheus
# server that scrapes node_exporter answers a query with both, told apart by their sensor label.
# The servers listen on 127.0.0.1 only, on free ports, keep their data in a temporary directory
# and are stopped at the end.
#   monitoring_test.sh EXPORT SIM NODE_EXPORTER PROMETHEUS PROMTOOL CURL [LIBFAKETIME]
# With libfaketime, quorvane_sim runs on a clock sixty times real time, so that its readings
# come in a fraction of a second rather than two seconds apart.
set -euo pipefail

export_program=$1
sim=$2
node_exporter=$3
prometheus=$4
promtool=$5
curl=$6
libfaketime=${7:-}
work=$(mktemp -d)
servers=()
cleanup() {
    for pid in "${servers[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for pid_file in "$work"/*.pid; do
        [ -s "$pid_file" ] || continue
        rm -f "/dev/shm/faketime_shm_$(cat "$pid_file")" \
            "/dev/shm/sem.faketime_sem_$(cat "$pid_file")"
    done
    rm -rf "$work"
}
trap cleanup EXIT
# The simulated program of one sensor, as the exporter is to run it: sets $program.
program() {
    program=("$sim")
    if [ -n "$libfaketime" ]; then
        # The shell notes the program's pid and becomes it: libfaketime's shared clock, named
        # after that pid, is left behind when a signal ends the program, and is removed at the end.
        program=(sh -c 'echo $$ >"$0" && exec "$@"' "$work/$1.pid"
            env LD_PRELOAD="$libfaketime" FAKETIME="@2026-12-08 10:00:00 x60"
            FAKETIME_DONT_FAKE_MONOTONIC=1 "$sim")
    fi
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits up to a minute (the machine may be loaded) for a command to succeed.
eventually() {
    for _ in $(seq 600); do
        if "$@" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Starts a server on a free loopback port: a port taken by someone else makes it exit at once,
# and another is tried. Sets $port and adds the server to those stopped at the end.
serve() {
    local name=$1 url_path=$2
    shift 2
    for _ in $(seq 20); do
        port=$((20000 + RANDOM % 40000))
        "${@//PORT/$port}" >"$work/$name.log" 2>&1 &
        local pid=$!
        servers+=("$pid")
        for _ in $(seq 600); do
            if "$curl" -fsS "http://127.0.0.1:$port$url_path" >/dev/null 2>&1; then
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
    done
    fail "$name did not start: $(tail -5 "$work/$name.log")"
}

# Two thermometers, as two services run them: each exporter runs its own simulated room and writes
# its own file into the one directory, with the same metric names and its own sensor label (one
# with an offset, so that a family is in one file only). Stopped after a few readings as a service
# manager stops them; the files keep the last readings.
mkdir "$work/textfile"
declare -A rooms=([kitchen]=21.5 [freezer]=-18.5) exporters=() values=()
for sensor in "${!rooms[@]}"; do
    offset=()
    [ "$sensor" != freezer ] || offset=(--offset -0.4)
    program "$sensor"
    QUORVANE_SIM="temperature=${rooms[$sensor]}" "$export_program" --lines --sensor "$sensor" \
        "${offset[@]}" --textfile "$work/textfile/$sensor.prom" -- "${program[@]}" \
        >"$work/$sensor.lines" &
    exporters[$sensor]=$!
done
readings() { [ "$(grep -c " C " "$work/$1.lines")" -ge 3 ]; }
for sensor in "${!rooms[@]}"; do
    eventually readings "$sensor" || fail "no readings from quorvane_sim for $sensor"
    kill -TERM "${exporters[$sensor]}"
    status=0
    wait "${exporters[$sensor]}" || status=$?
    [ "$status" = 143 ] || fail "the exporter ended with $status, not the program's 143 after SIGTERM"
    value=$(grep -E '^ *-?[0-9]+\.[0-9] C ' "$work/$sensor.lines" | tail -n 1 | awk '{print $1}')
    [ -n "$value" ] || fail "no measurement line in: $(cat "$work/$sensor.lines")"
    [ "$sensor" != freezer ] || value=$(awk -v v="$value" 'BEGIN { printf "%.1f", v - 0.4 }')
    values[$sensor]=$value
    lint=$("$promtool" check metrics <"$work/textfile/$sensor.prom" 2>&1) ||
        fail "promtool check metrics refuses the file: $lint"
    [ -z "$lint" ] || fail "promtool check metrics: $lint"
done

serve node_exporter /metrics "$node_exporter" --web.listen-address=127.0.0.1:PORT \
    --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$work/textfile"
node_port=$port
metrics=$("$curl" -fsS "http://127.0.0.1:$node_port/metrics")
for sensor in "${!values[@]}"; do
    grep -qx "quorvane_temperature_celsius{sensor=\"$sensor\"} ${values[$sensor]}" <<<"$metrics" ||
        fail "node_exporter does not serve $sensor's ${values[$sensor]}: $(grep quorvane <<<"$metrics")"
done
# node_exporter is strict about a family spread over files: it would say so in these two places.
grep -qx 'node_textfile_scrape_error 0' <<<"$metrics" || fail "node_exporter could not read the files"
! grep -q 'level=error' "$work/node_exporter.log" ||
    fail "node_exporter: $(grep 'level=error' "$work/node_exporter.log")"

cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ['127.0.0.1:$node_port']
EOF
serve prometheus /-/ready "$prometheus" --config.file="$work/prometheus.yml" \
    --storage.tsdb.path="$work/tsdb" --web.listen-address=127.0.0.1:PORT
query="http://127.0.0.1:$port/api/v1/query?query=quorvane_temperature_celsius"
answered() {
    local answer sensor
    answer=$("$curl" -fsS "$query") || return 1
    for sensor in "${!values[@]}"; do
        grep -q "\"sensor\":\"$sensor\"},\"value\":\[[0-9.]*,\"${values[$sensor]}\"\]" <<<"$answer" ||
            return 1
    done
}
eventually answered ||
    fail "Prometheus does not answer both sensors (${values[*]}): $("$curl" -sS "$query")"
echo "quorvane_temperature_celsius of kitchen ${values[kitchen]} and freezer ${values[freezer]}:" \
    "from quorvane_sim through quorvane-export and node_exporter into Prometheus"
