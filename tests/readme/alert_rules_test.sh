#!/usr/bin/env bash
# The alert rules of the monitoring guide as Prometheus reads them: promtool accepts the file,
# and on a few minutes of series the rules fire as the guide says they do, the one for missing
# metrics included.
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

cat >"$work/tests.yml" <<'YAML'
rule_files: [rules.yml]
evaluation_interval: 1m
tests:
  # A hot room: its alert fires after two minutes; the metrics are there, so the missing one
  # stays quiet.
  - interval: 1m
    input_series:
      - series: 'quorvane_temperature_celsius{instance="room"}'
        values: '30x15'
      - series: 'quorvane_readings_total{instance="room"}'
        values: '1+1x15'
    alert_rule_test:
      - eval_time: 5m
        alertname: RoomTooHot
        exp_alerts:
          - exp_labels: {instance: room}
            exp_annotations: {summary: "room reads 30 °C"}
      - eval_time: 15m
        alertname: ThermometerMissing
        exp_alerts: []
  # No quorvane series at all, as when the service cannot deliver its file: only the rule for
  # missing metrics can see that.
  - interval: 1m
    input_series:
      - series: 'up{instance="room"}'
        values: '1x15'
    alert_rule_test:
      - eval_time: 5m
        alertname: ThermometerMissing
        exp_alerts: []
      - eval_time: 15m
        alertname: ThermometerMissing
        exp_alerts:
          - exp_annotations: {summary: "no quorvane_temperature_celsius from any host for ten minutes"}
YAML
(cd "$work" && "$promtool" test rules tests.yml)
