#!/usr/bin/env bash
# The package as a user meets it on Debian, as root on a machine that may be changed: installed
# with apt before and after Debian's prometheus-node-exporter, the service's own command line
# (read from the installed unit) run as the service's user with its groups, node_exporter on
# 127.0.0.1 with its text-file collector on Debian's default directory, and the thermometer's
# metric in its /metrics; then a purge, after which nothing of the package is left in that
# directory and its user has no right there. The first order runs with the acl package, the
# second without. The machine has no parallel port: the test kit's fake kernel, preloaded,
# serves /dev/parport0, so that the unit's command runs exactly as installed.
#   service_metrics_test.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "service_metrics_test.sh: run it as root" >&2; exit 1; }
fake=$(find "$build/tests/kit" -maxdepth 1 -name 'libquorvane_fake_parport.so' | head -n 1)
[ -n "$fake" ] || { echo "no libquorvane_fake_parport.so in $build/tests/kit" >&2; exit 1; }
textfile_dir=/var/lib/prometheus/node-exporter
unit=/lib/systemd/system/quorvane.service
export DEBIAN_FRONTEND=noninteractive

work=$(mktemp -d)
# The service's user must be able to load the fake kernel, wherever the build lies (a checkout in
# a private directory, say): a copy of it in a directory of its own that everyone may read.
preload_dir=$(mktemp -d)
chmod 755 "$preload_dir"
install -m 0644 "$fake" "$preload_dir/"
fake=$preload_dir/$(basename "$fake")
pids=()
made_policy=
had_acl=$(dpkg-query -W -f='${Status}' acl 2>/dev/null | grep -c 'ok installed' || true)
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    [ -z "$made_policy" ] || rm -f /usr/sbin/policy-rc.d
    rm -rf "$work" "$preload_dir"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
apt_get() {
    apt-get -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "$@" >"$work/apt.log" 2>&1 ||
        fail "apt-get $*: $(tail -20 "$work/apt.log")"
}
# Servers installed here must not start: the test starts its own, on the loopback only.
if [ ! -e /usr/sbin/policy-rc.d ]; then
    made_policy=1
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
fi

(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || fail "cpack: $(cat "$work/cpack.log")"
deb=$(find "$work/deb" -maxdepth 1 -name 'quorvane_*.deb' | head -n 1)
[ -n "$deb" ] || fail "cpack made no package"

# Starts node_exporter as its package's user on a free loopback port, with only the text-file
# collector and its default directory; sets $node_pid and $metrics_url.
start_node_exporter() {
    for _ in $(seq 20); do
        local port=$((20000 + RANDOM % 40000))
        setpriv --reuid=prometheus --regid=prometheus --init-groups \
            /usr/bin/prometheus-node-exporter --web.listen-address="127.0.0.1:$port" \
            --collector.disable-defaults --collector.textfile >"$work/node_exporter.log" 2>&1 &
        node_pid=$!
        pids+=("$node_pid")
        metrics_url=http://127.0.0.1:$port/metrics
        for _ in $(seq 300); do
            curl -fsS "$metrics_url" >/dev/null 2>&1 && return 0
            kill -0 "$node_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$node_pid" 2>/dev/null || true
    done
    fail "node_exporter did not start: $(tail -5 "$work/node_exporter.log")"
}

# The unit's own command as systemd would start it: its user with its groups, its working
# directory and umask, with /dev/parport0 served by the fake kernel.
start_service_command() {
    local user directory umask exec_start
    user=$(sed -n 's/^User=//p' "$unit")
    directory=$(sed -n 's/^WorkingDirectory=//p' "$unit")
    umask=$(sed -n 's/^UMask=//p' "$unit")
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    [ -n "$user" ] && [ -n "$exec_start" ] || fail "no User= or ExecStart= in $unit"
    read -ra command <<<"$exec_start"
    mkdir -p "$directory" && chown "$user:" "$directory" # systemd's LogsDirectory=
    (cd "$directory" && umask "$umask" &&
        exec env LD_PRELOAD="$fake" setpriv --reuid="$user" --regid="$user" --init-groups \
            "${command[@]}") >"$work/service.log" 2>&1 &
    service_pid=$!
    pids+=("$service_pid")
}

metric_served() {
    curl -fsS "$metrics_url" >"$work/metrics" 2>/dev/null &&
        grep -Eq '^quorvane_temperature_celsius -?[0-9.]+$' "$work/metrics" &&
        grep -qx 'node_textfile_scrape_error 0' "$work/metrics"
}

check_delivers() {
    local order=$1
    start_node_exporter
    # Installed, before the service ever ran: the link leads to a file node_exporter can read.
    curl -fsS "$metrics_url" | grep -qx 'node_textfile_scrape_error 0' ||
        fail "$order: node_exporter cannot read the installed link: $(ls -l "$textfile_dir")"
    start_service_command
    for _ in $(seq 600); do
        metric_served && break
        kill -0 "$service_pid" 2>/dev/null || fail "$order: the service's command ended: $(cat "$work/service.log")"
        sleep 0.1
    done
    metric_served || fail "$order: no quorvane_temperature_celsius in /metrics: $(grep -E 'quorvane|textfile' "$work/metrics"); the service said: $(tail -5 "$work/service.log")"
    grep -q 'cannot write' "$work/service.log" && fail "$order: $(grep 'cannot write' "$work/service.log")"
    echo "$order: $(grep '^quorvane_temperature_celsius' "$work/metrics") in node_exporter's /metrics"
    kill -TERM "$service_pid" "$node_pid"
    wait "$service_pid" "$node_pid" 2>/dev/null || true
}

check_purged() {
    local order=$1
    apt_get purge quorvane
    local left
    left=$(find "$textfile_dir" -name 'quorvane*' 2>/dev/null)
    [ -z "$left" ] || fail "$order: the purge left $left"
    for gone in /var/lib/quorvane /var/log/quorvane; do
        [ ! -e "$gone" ] || fail "$order: the purge left $gone"
    done
    if [ -d "$textfile_dir" ]; then
        ! setpriv --reuid=quorvane --regid=quorvane --init-groups touch "$textfile_dir/x.prom" 2>/dev/null ||
            fail "$order: after the purge the user quorvane can still write $textfile_dir"
        if command -v getfacl >/dev/null; then
            ! getfacl -p "$textfile_dir" | grep -q quorvane ||
                fail "$order: an ACL for quorvane is left on $textfile_dir"
        fi
        [ "$(stat -c %U:%a "$textfile_dir")" = root:755 ] ||
            fail "$order: $textfile_dir is now $(stat -c %U:%a "$textfile_dir")"
    fi
    echo "$order: purged, nothing left"
}

# Reinstalling either package, as an upgrade does, leaves the link and the owners as they were.
check_upgrades() {
    local order=$1 before
    before=$(stat -c %U:%a /var/lib/prometheus "$textfile_dir")
    apt_get install --reinstall "$deb"
    apt_get install --reinstall prometheus-node-exporter
    [ "$(stat -c %U:%a /var/lib/prometheus "$textfile_dir")" = "$before" ] ||
        fail "$order: reinstalling changed the owners or modes: $before, now $(stat -c %U:%a /var/lib/prometheus "$textfile_dir")"
    [ "$(readlink "$textfile_dir/quorvane.prom")" = ../../quorvane/quorvane.prom ] ||
        fail "$order: the link is gone after reinstalling: $(ls -l "$textfile_dir")"
}

apt_get update
# node_exporter first, with the acl package.
apt_get install acl prometheus-node-exporter curl
apt_get install "$deb"
check_upgrades "node_exporter first"
check_delivers "node_exporter first"
check_purged "node_exporter first"

# This package first, without the acl package.
apt_get purge prometheus-node-exporter acl
apt_get install "$deb"
apt_get install prometheus-node-exporter
check_upgrades "quorvane first"
check_delivers "quorvane first"
check_purged "quorvane first"

# The machine as it was: node_exporter installed, acl as before.
[ "$had_acl" -eq 0 ] || apt_get install acl
echo "the service's metrics reach node_exporter in both install orders; purging leaves nothing"
