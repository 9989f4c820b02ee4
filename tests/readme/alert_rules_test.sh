#!/usr/bin/env bash
# The alert rules of the monitoring guide as Prometheus reads them: promtool accepts the file,
# and on a few minutes of series of two sensors the rules fire as the guide says they do, each for
# its own sensor, the ones for missing metrics included.
#   alert_rules_test.sh GUIDE PROMTOOL
set -euo pipefail

guide=$1
promtool=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The yaml block that begins with "groups:".
awk '/^```yaml$/ { inside = 1; n = 0; next } /^```$/ { inside = 0 } inside { if (n++ == 0 && $0 != "groups:") inside = 0; else print }' \
    "$guide" >"$work/rules.yml"
[ -s "$work/rules.yml" ] || { echo "FAIL: no rules file (a yaml block beginning with groups:) in $guide" >&2; exit 1; }
"$promtool" check rules "$work/rules.yml"

# Two sensors on one host, told apart by their label: each alert fires for the sensor it concerns
# and for no other.
cat >"$work/tests.yml" <<'YAML'
rule_files: [rules.yml]
evaluation_interval: 1m
tests:
  # The kitchen is hot; the freezer's last good reading is from minute 5, and its metrics are gone
  # from minute 20 on (its file removed); both were there, so the rule for none stays quiet.
  - interval: 1m
    input_series:
      - series: 'quorvane_temperature_celsius{instance="pi",sensor="kitchen"}'
        values: '30x40'
      - series: 'quorvane_last_reading_timestamp_seconds{instance="pi",sensor="kitchen"}'
        values: '0+60x40'
      - series: 'quorvane_readings_total{instance="pi",sensor="kitchen"}'
        values: '1+1x40'
      - series: 'quorvane_temperature_celsius{instance="pi",sensor="freezer"}'
        values: '-18x19 stale'
      - series: 'quorvane_last_reading_timestamp_seconds{instance="pi",sensor="freezer"}'
        values: '0+60x5 300x13 stale'
      - series: 'quorvane_readings_total{instance="pi",sensor="freezer"}'
        values: '1+1x5 6x13 stale'
    alert_rule_test:
      - eval_time: 5m
        alertname: RoomTooHot
        exp_alerts:
          - exp_labels: {instance: pi, sensor: kitchen}
            exp_annotations: {summary: "kitchen on pi reads 30 °C"}
      - eval_time: 12m
        alertname: ThermometerSilent
        exp_alerts:
          - exp_labels: {instance: pi, sensor: freezer}
            exp_annotations: {summary: "freezer on pi has had no good reading for five minutes"}
      - eval_time: 25m
        alertname: ThermometerMissing
        exp_alerts: []
      - eval_time: 35m
        alertname: ThermometerMissing
        exp_alerts:
          - exp_labels: {instance: pi, sensor: freezer}
            exp_annotations: {summary: "freezer on pi has delivered no metrics for ten minutes"}
      - eval_time: 35m
        alertname: NoThermometerSeen
        exp_alerts: []
  # No quorvane series at all, as when the service cannot deliver its file: only the rule for
  # none can see that.
  - interval: 1m
    input_series:
      - series: 'up{instance="pi"}'
        values: '1x15'
    alert_rule_test:
      - eval_time: 5m
        alertname: NoThermometerSeen
        exp_alerts: []
      - eval_time: 15m
        alertname: NoThermometerSeen
        exp_alerts:
          - exp_annotations: {summary: "no quorvane metrics from any host in the last day"}
      - eval_time: 15m
        alertname: ThermometerMissing
        exp_alerts: []
YAML
(cd "$work" && "$promtool" test rules tests.yml)
