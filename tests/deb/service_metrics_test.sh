#!/usr/bin/env bash
# The package as a user meets it on Debian, as root on a machine that may be changed: installed
# with apt before and after Debian's prometheus-node-exporter, the service's own command line
# and those of two instances of its template (read from the installed units and expanded as
# systemd expands them) run side by side as the service's user with its groups, node_exporter on
# 127.0.0.1 with its text-file collector on Debian's default directory, and the three sensors'
# metrics in its /metrics; then a purge, after which nothing of the package is left in that
# directory and its user has no right there. The first order runs with the acl package, the
# second without. The machine has no parallel port and no I2C adapter: the test kit's fake kernels,
# preloaded, serve /dev/parport0 and /dev/i2c-1, so that the units' commands run exactly as
# installed.
#   service_metrics_test.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "service_metrics_test.sh: run it as root" >&2; exit 1; }
fake=$(find "$build/tests/kit" -maxdepth 1 -name 'libquorvane_fake_parport.so' | head -n 1)
[ -n "$fake" ] || { echo "no libquorvane_fake_parport.so in $build/tests/kit" >&2; exit 1; }
textfile_dir=/var/lib/prometheus/node-exporter
unit=/lib/systemd/system/quorvane.service
template=/lib/systemd/system/quorvane@.service
export DEBIAN_FRONTEND=noninteractive
# The instances, each with its settings file as an administrator writes it: quorvane_i2c, the
# template's program, at a chip address of its own on bus 1, which the kit's fake I2C kernel
# serves (a thermometer at every address, each in a room of its own: QUORVANE_FAKE_I2C).
declare -A instance_settings=(
    [freezer]=$'QUORVANE_I2C="address=0x48"\nQUORVANE_FAKE_I2C="celsius=-18.5"'
    [fridge]=$'QUORVANE_I2C="address=0x49"\nQUORVANE_FAKE_I2C="celsius=4.5"'
)
instance_preload=$(find "$build/tests/kit" -maxdepth 1 -name 'libquorvane_fake_i2c.so' | head -n 1)
[ -n "$instance_preload" ] || { echo "no libquorvane_fake_i2c.so in $build/tests/kit" >&2; exit 1; }

work=$(mktemp -d)
# The service's user must be able to load the fake kernel, wherever the build lies (a checkout in
# a private directory, say): a copy of it in a directory of its own that everyone may read.
preload_dir=$(mktemp -d)
chmod 755 "$preload_dir"
install -m 0644 "$fake" "$instance_preload" "$preload_dir/"
fake=$preload_dir/$(basename "$fake")
instance_preload=$preload_dir/$(basename "$instance_preload")
pids=()
made_policy=
made_settings=
had_acl=$(dpkg-query -W -f='${Status}' acl 2>/dev/null | grep -c 'ok installed' || true)
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    [ -z "$made_policy" ] || rm -f /usr/sbin/policy-rc.d
    [ -z "$made_settings" ] || rm -rf /etc/quorvane
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

# The value of a setting of a unit (the last one given), with %i the instance's name.
unit_setting() {
    sed -n "s/^$2=//p" "$1" | tail -n 1 | sed "s/%i/${3:-}/g"
}

# A unit's command as systemd would start it: its user with its groups and supplementary groups,
# its working directory and umask, its Environment= and then its EnvironmentFile=, whose values
# win, with PRELOAD (a fake kernel) preloaded; $NAME and ${NAME} on the command line replaced by
# the shell as systemd replaces them (only the values meant to be split have spaces). Then, once
# the metrics file is there (the exporter writes it before it says it is ready), the unit's
# ExecStartPost as root. Sets $unit_pid and $unit_log.
start_unit_command() {
    local unit=$1 instance=$2 preload=$3 user directory groups extra textfile
    user=$(unit_setting "$unit" User "$instance")
    directory=$(unit_setting "$unit" WorkingDirectory "$instance")
    [ -n "$user" ] && [ -n "$(unit_setting "$unit" ExecStart)" ] || fail "no User= or ExecStart= in $unit"
    groups=$(id -G "$user" | tr ' ' ,)
    for extra in $(unit_setting "$unit" SupplementaryGroups "$instance"); do
        groups+=,$(getent group "$extra" | cut -d: -f3)
    done
    mkdir -p "$directory" && chown "$user:" "$directory" # systemd's LogsDirectory=
    unit_log=$work/$(basename "$unit" .service)$instance.log
    (
        set -a +u -f
        eval "$(unit_setting "$unit" Environment "$instance")"
        file=$(unit_setting "$unit" EnvironmentFile "$instance")
        [ -z "$file" ] || . "$file"
        [ -z "$preload" ] || LD_PRELOAD=$preload
        cd "$directory" && umask "$(unit_setting "$unit" UMask "$instance")"
        eval "exec setpriv --reuid=$user --regid=$user --groups=$groups $(unit_setting "$unit" ExecStart "$instance")"
    ) >"$unit_log" 2>&1 &
    unit_pid=$!
    pids+=("$unit_pid")
    [ -n "$(unit_setting "$unit" ExecStartPost)" ] || return 0
    textfile=$(unit_setting "$unit" ExecStart "$instance" | sed -n 's/.* --textfile \([^ ]*\) .*/\1/p')
    for _ in $(seq 600); do
        [ ! -e "$textfile" ] || break
        kill -0 "$unit_pid" 2>/dev/null || return 0 # ended: the caller looks at why
        sleep 0.1
    done
    eval "$(unit_setting "$unit" ExecStartPost "$instance" | sed 's/^[-+]*//')" ||
        fail "the ExecStartPost of $unit for $instance failed"
}

# The instances' settings files, as an administrator writes them.
write_instance_settings() {
    local instance
    [ -e /etc/quorvane ] || made_settings=1
    install -d -m 0750 -g quorvane /etc/quorvane
    for instance in "${!instance_settings[@]}"; do
        printf '%s\n' "${instance_settings[$instance]}" >"/etc/quorvane/$instance.conf"
    done
}

# Every sensor's temperature, and no file that node_exporter could not read.
metrics_served() {
    local sensor
    curl -fsS "$metrics_url" >"$work/metrics" 2>/dev/null || return 1
    for sensor in "$@"; do
        grep -Eq "^quorvane_temperature_celsius\{sensor=\"$sensor\"\} -?[0-9.]+$" "$work/metrics" ||
            return 1
    done
    grep -qx 'node_textfile_scrape_error 0' "$work/metrics"
}

check_delivers() {
    local order=$1 host instance pid started=()
    start_node_exporter
    # Installed, before the service ever ran: the link leads to a file node_exporter can read.
    curl -fsS "$metrics_url" | grep -qx 'node_textfile_scrape_error 0' ||
        fail "$order: node_exporter cannot read the installed link: $(ls -l "$textfile_dir")"
    # The service, named after the host as its MQTT node always was, beside two instances.
    host=$(hostname | tr -cd 'A-Za-z0-9_-')
    start_unit_command "$unit" "" "$fake"
    started+=("$unit_pid")
    write_instance_settings
    for instance in "${!instance_settings[@]}"; do
        start_unit_command "$template" "$instance" "$instance_preload"
        started+=("$unit_pid")
    done
    for _ in $(seq 600); do
        metrics_served "$host" "${!instance_settings[@]}" && break
        for pid in "${started[@]}"; do
            kill -0 "$pid" 2>/dev/null || fail "$order: a unit's command ended: $(tail -n 3 "$work"/quorvane*.log)"
        done
        sleep 0.1
    done
    metrics_served "$host" "${!instance_settings[@]}" ||
        fail "$order: not every sensor in /metrics: $(grep -E 'quorvane|textfile' "$work/metrics"); the units said: $(tail -n 3 "$work"/quorvane*.log)"
    ! grep -q 'cannot write' "$work"/quorvane*.log || fail "$order: $(grep 'cannot write' "$work"/quorvane*.log)"
    echo "$order: $(grep '^quorvane_temperature_celsius' "$work/metrics" | tr '\n' ' ')in node_exporter's /metrics"
    kill -TERM "${started[@]}" "$node_pid"
    wait "${started[@]}" "$node_pid" 2>/dev/null || true
}

# An instance whose setting is wrong ends at once, naming it, with a status for which its unit
# is not restarted every ten seconds.
check_bad_setting() {
    local status=0
    printf 'QUORVANE_I2C=address=0x50\n' >/etc/quorvane/broken.conf
    start_unit_command "$template" broken "$instance_preload"
    wait "$unit_pid" || status=$?
    rm /etc/quorvane/broken.conf
    grep -q 'address' "$unit_log" || fail "a bad setting ended the instance without naming it: $(cat "$unit_log")"
    grep -Eq "^RestartPreventExitStatus=(.* )?$status( |$)" "$template" ||
        fail "a bad setting ends the instance with status $status, for which its unit is restarted for ever"
    echo "a bad setting: the instance ends with status $status, naming it"
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
check_bad_setting
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
echo "the service's and two instances' metrics reach node_exporter in both install orders; purging leaves nothing"
