#!/usr/bin/env bash
# A simulated reading on its way into Prometheus, through the real programs: quorvane-export
# runs quorvane_sim and writes the text file, promtool accepts it, node_exporter's text-file
# collector serves it, and a Prometheus server that scrapes node_exporter answers a query for it.
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
    if [ -s "$work/program.pid" ]; then
        rm -f "/dev/shm/faketime_shm_$(cat "$work/program.pid")" \
            "/dev/shm/sem.faketime_sem_$(cat "$work/program.pid")"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
program=("$sim")
if [ -n "$libfaketime" ]; then
    # The shell notes the program's pid and becomes it: libfaketime's shared clock, named after
    # that pid, is left behind when a signal ends the program, and is removed at the end.
    program=(sh -c 'echo $$ >"$0" && exec "$@"' "$work/program.pid"
        env LD_PRELOAD="$libfaketime" FAKETIME="@2026-12-08 10:00:00 x60"
        FAKETIME_DONT_FAKE_MONOTONIC=1 "$sim")
fi

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

# The exporter and the simulated program, stopped after a few readings as a service manager
# stops them; the file keeps the last reading.
mkdir "$work/textfile"
prom=$work/textfile/quorvane.prom
"$export_program" --lines --textfile "$prom" -- "${program[@]}" >"$work/lines" &
exporter=$!
readings() { [ "$(grep -c " C " "$work/lines")" -ge 3 ]; }
eventually readings || fail "no readings from quorvane_sim"
kill -TERM "$exporter"
status=0
wait "$exporter" || status=$?
[ "$status" = 143 ] || fail "the exporter ended with $status, not the program's 143 after SIGTERM"
value=$(grep -E '^ *-?[0-9]+\.[0-9] C ' "$work/lines" | tail -n 1 | awk '{print $1}')
[ -n "$value" ] || fail "no measurement line in: $(cat "$work/lines")"

lint=$("$promtool" check metrics <"$prom" 2>&1) || fail "promtool check metrics refuses the file: $lint"
[ -z "$lint" ] || fail "promtool check metrics: $lint"

serve node_exporter /metrics "$node_exporter" --web.listen-address=127.0.0.1:PORT \
    --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$work/textfile"
node_port=$port
metrics=$("$curl" -fsS "http://127.0.0.1:$node_port/metrics")
grep -qx "quorvane_temperature_celsius $value" <<<"$metrics" ||
    fail "node_exporter does not serve quorvane_temperature_celsius $value: $(grep quorvane <<<"$metrics")"
grep -qx 'node_textfile_scrape_error 0' <<<"$metrics" || fail "node_exporter could not read the file"

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
    "$curl" -fsS "$query" | grep -q "\"__name__\":\"quorvane_temperature_celsius\".*,\"$value\"\]"
}
eventually answered || fail "Prometheus does not answer quorvane_temperature_celsius $value: $("$curl" -sS "$query")"
echo "quorvane_temperature_celsius $value: from quorvane_sim through quorvane-export and node_exporter into Prometheus"
