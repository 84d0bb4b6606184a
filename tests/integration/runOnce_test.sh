#!/usr/bin/env bash
# scripts/run --once, twice on one state directory: the first run creates
# the cluster, loads the schema and the demonstration rows, captures live
# flows and stops everything; the second resumes without creating or
# inserting anything again, and its summaries count the flows the first run
# captured. The checkout is a copy in a directory closed to others, as a
# clone under /root is: the state goes where the cluster's user reaches it.
# Arguments: source tree, built tree (used as the run's build).
set -uo pipefail
closed=$(mktemp -d /tmp/kova-run-XXXXXX)  # 0700
checkout="$closed/kova" out="$closed"
mkdir "$checkout" && tar -C "$1" --exclude=./build --exclude=./state -cf - . | tar -C "$checkout" -xf -
# Where the state goes is said once; the same for every call.
state_of() { sed -n 's/^==> the postgres user cannot reach .*: state in //p' "$out/run1.out" 2>/dev/null; }
trap '"$checkout/scripts/run" stop >/dev/null 2>&1; s=$(state_of); rm -rf "$closed" ${s:+"${s%/state}"}' EXIT

# Ports that nothing uses now, below the ephemeral range, so that test runs
# of several developers on one machine do not meet.
pick_port() {  # (a remote port that matches only makes it pick again)
  local port
  while port=$((20000 + RANDOM % 12000)); grep -qi ":$(printf %04X "$port") " /proc/net/{tcp,udp}{,6}; do :; done
  echo "$port"
}
export KOVA_STATE_DIR="" KOVA_BUILD_DIR="$2"  # the default state directory
KOVA_PG_PORT=$(pick_port) KOVA_NETFLOW_PORT=$(pick_port) KOVA_SFLOW_PORT=$(pick_port)
export KOVA_PG_PORT KOVA_NETFLOW_PORT KOVA_SFLOW_PORT

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
for run in 1 2; do
  "$checkout/scripts/run" --once >"$out/run$run.out" 2>&1 </dev/null || fail "run $run exited with an error"
  echo "----- run $run"
  cat "$out/run$run.out"
done

# Each run checks its own demonstration rows and ends in an error otherwise.
grep -E "creating|loading" "$out/run2.out" && fail "second run created or loaded something again"
# The flows that the first run's captures wrote out when they stopped (or
# at a rotation during the first run) are counted by a summary.
for channel in demo-netflow demo-sflow; do
  cat "$out/run1.out" "$out/run2.out" | grep -Eq "^ $channel summary +\| \{\"channel\":\"$channel\".*\"flows\":[1-9]" ||
    fail "no summary of $channel counts a flow"
  cat "$out/run1.out" "$out/run2.out" | grep -Eq "^ $channel top +\| \{\"channel\":\"$channel\".*\"srcip\":\[\{\"key\"" ||
    fail "no top of $channel names a source"
done
s=$(state_of)
[ "$(id -u)" -ne 0 ] || [ -n "$s" ] || fail "no line says where the state went"
pgrep -af -- "$closed|${s:-$closed}" && fail "processes of the run are left"

[ "$failures" -eq 0 ] || exit 1
echo "scripts/run --once passed twice"
