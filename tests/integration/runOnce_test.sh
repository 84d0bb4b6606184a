#!/usr/bin/env bash
# scripts/run --once, twice on one state directory: the first run creates
# the cluster, loads the schema and the demonstration rows, captures live
# flows and stops everything; the second resumes without creating or
# inserting anything again, and its summaries count the flows the first run
# captured. Arguments: source tree, built tree (used as the run's build).
set -uo pipefail
source_dir="$1"
build="$2"
state=$(mktemp -d /tmp/kova-run-XXXXXX)
chmod 755 "$state"  # the cluster runs as postgres

# Ports that nothing uses now, below the ephemeral range, so that test runs
# of several developers on one machine do not meet.
port_in_use() {
  local hex
  hex=$(printf '%04X' "$1")
  cat /proc/net/tcp /proc/net/tcp6 /proc/net/udp /proc/net/udp6 2>/dev/null |
    awk -v hex="$hex" '{ split($2, local, ":"); if (local[2] == hex) found = 1 } END { exit !found }'
}
pick_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12000))
    port_in_use "$port" || { echo "$port"; return; }
  done
}
export KOVA_STATE_DIR="$state" KOVA_BUILD_DIR="$build"
KOVA_PG_PORT=$(pick_port) KOVA_NETFLOW_PORT=$(pick_port) KOVA_SFLOW_PORT=$(pick_port)
export KOVA_PG_PORT KOVA_NETFLOW_PORT KOVA_SFLOW_PORT

cleanup() {
  "$source_dir/scripts/run" stop >/dev/null 2>&1
  rm -rf "$state"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
expect() {  # output file, text
  grep -qF -- "$2" "$1" || fail "run output lacks: $2"
}

for run in 1 2; do
  if ! "$source_dir/scripts/run" --once >"$state/run$run.out" 2>&1 </dev/null; then
    fail "run $run exited with an error"
  fi
  echo "----- run $run"
  cat "$state/run$run.out"
done

expect "$state/run1.out" "creating a PostgreSQL cluster"
expect "$state/run1.out" "loading sql/schema.sql"
for run in 1 2; do
  expect "$state/run$run.out" "demonstration rows present: 2 channels, 3 plugins, 6 collectors"
  expect "$state/run$run.out" "--once: everything ran and stopped cleanly"
done
expect "$state/run2.out" "schema present"
grep -q "creating" "$state/run2.out" && fail "second run created something again"
# The flows that the first run's captures wrote out when they stopped (or
# at a rotation during the first run) are counted by a summary.
for channel in demo-netflow demo-sflow; do
  cat "$state/run1.out" "$state/run2.out" |
    grep -Eq "^ $channel summary +\| \{\"channel\":\"$channel\".*\"flows\":[1-9]" ||
    fail "no summary of $channel counts a flow"
  cat "$state/run1.out" "$state/run2.out" |
    grep -Eq "^ $channel top +\| \{\"channel\":\"$channel\".*\"srcip\":\[\{\"key\"" ||
    fail "no top of $channel names a source"
done
pgrep -af -- "$state" && fail "processes of the run are left"

[ "$failures" -eq 0 ] || exit 1
echo "scripts/run --once passed twice"
