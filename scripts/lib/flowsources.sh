# Flow sources of scripts/run, and stopping by pid file. softflowd turns the
# live loopback traffic into NetFlow v9 for the NetFlow channel; pmacctd
# with its sfprobe plugin turns it into sFlow for the sFlow channel;
# loopback-traffic makes sure there is traffic. Sourced by scripts/run,
# which sets STATE, RUN, LOGDIR, ROOT, SUDO and the helpers say/die.
# shellcheck shell=bash

SOFTFLOWD=/usr/sbin/softflowd
SOFTFLOWCTL=/usr/sbin/softflowctl
PMACCTD=/usr/sbin/pmacctd

# The pid in a pid file, when that process runs and its command name is one
# of the names given (a pid file left behind may name a reused pid). The
# kernel keeps 15 characters of a command name.
live_pid() {
  local file="$1" pid comm name
  shift
  [ -r "$file" ] || return 1
  read -r pid <"$file" || return 1
  case "$pid" in '' | *[!0-9]*) return 1 ;; esac
  comm=$(ps -p "$pid" -o comm= 2>/dev/null) || return 1
  for name in "$@"; do
    if [ "$comm" = "${name:0:15}" ]; then
      echo "$pid"
      return 0
    fi
  done
  return 1
}

# Gone, or a zombie that its parent has not reaped yet.
ended() {
  local stat
  stat=$(ps -p "$1" -o stat= 2>/dev/null) || return 0
  [ "${stat#Z}" != "$stat" ]
}

# SIGTERM to the process of a pid file, then waits up to the given seconds
# for it to end (SIGKILL after that).
stop_pidfile() {
  local file="$1" seconds="$2" pid i name
  shift 2
  pid=$(live_pid "$file" "$@") || { rm -f "$file"; return 0; }
  name=$(ps -p "$pid" -o comm=) || name=$1
  [ "$name" != "${1:0:15}" ] || name=$1
  say "stopping $name (pid $pid)"
  $SUDO kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < seconds * 10; i++)); do
    ended "$pid" && break
    sleep 0.1
  done
  if ! ended "$pid"; then
    say "pid $pid did not stop; killing it"
    $SUDO kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

start_traffic() {
  if live_pid "$RUN/traffic.pid" loopback-traffic >/dev/null; then
    return 0
  fi
  setsid "$ROOT/scripts/lib/loopback-traffic" "$RUN/traffic.pid" </dev/null >/dev/null 2>&1 &
  say "loopback traffic started (pid $!)"
}

start_softflowd() {
  local netflow_port="$1" sflow_port="$2"
  if pid=$(live_pid "$RUN/softflowd.pid" softflowd); then
    say "softflowd already running (pid $pid)"
    return 0
  fi
  # Short time-outs, so that flows reach nfcapd within seconds; the
  # exporters' own datagrams are left out, or they would feed themselves.
  $SUDO "$SOFTFLOWD" -i lo -n "127.0.0.1:$netflow_port" -v 9 \
    -p "$RUN/softflowd.pid" -c "$RUN/softflowd.ctl" \
    -t maxlife=30 -t expint=5 -t udp=10 -t tcp=30 -t tcp.rst=5 -t tcp.fin=5 \
    -t icmp=10 -t general=30 \
    "not (udp and (port $netflow_port or port $sflow_port))" >"$LOGDIR/softflowd.log" 2>&1 ||
    die "softflowd did not start: $(cat "$LOGDIR/softflowd.log")"
  wait_for "softflowd" 10 live_pid "$RUN/softflowd.pid" softflowd
  say "softflowd exports NetFlow v9 from lo to 127.0.0.1:$netflow_port (pid $(cat "$RUN/softflowd.pid"))"
}

# Flows softflowd has sent so far.
softflowd_exported() {
  { $SUDO "$SOFTFLOWCTL" -c "$RUN/softflowd.ctl" statistics 2>/dev/null || true; } |
    awk '/^Flows exported:/ { print $3; found = 1 } END { if (!found) print 0 }'
}

start_pmacctd() {
  local netflow_port="$1" sflow_port="$2"
  if pid=$(live_pid "$RUN/pmacctd.pid" pmacctd); then
    say "pmacctd already running (pid $pid)"
    return 0
  fi
  cat >"$RUN/pmacctd.conf" <<EOF
daemonize: true
pidfile: $RUN/pmacctd.pid
logfile: $LOGDIR/pmacctd.log
pcap_interface: lo
pcap_filter: not (udp and (port $netflow_port or port $sflow_port))
plugins: sfprobe
sfprobe_receiver: 127.0.0.1:$sflow_port
sampling_rate: 10
EOF
  $SUDO "$PMACCTD" -f "$RUN/pmacctd.conf" >/dev/null 2>&1 ||
    die "pmacctd did not start: $(tail -n 5 "$LOGDIR/pmacctd.log")"
  wait_for "pmacctd" 10 live_pid "$RUN/pmacctd.pid" pmacctd
  say "pmacctd (sfprobe) exports sFlow from lo to 127.0.0.1:$sflow_port (pid $(cat "$RUN/pmacctd.pid"))"
}

stop_flow_sources() {
  stop_pidfile "$RUN/traffic.pid" 5 loopback-traffic
  stop_pidfile "$RUN/softflowd.pid" 10 softflowd
  stop_pidfile "$RUN/pmacctd.pid" 20 pmacctd
  rm -f "$RUN/softflowd.ctl"
}

# The capture tools that kovaFlowCapture started for this state directory:
# their pid files are in its piddir. SIGTERM makes them write out the flows
# they hold.
stop_captures() {
  local file
  for file in "$RUN"/p*.pid; do
    [ -e "$file" ] || continue
    stop_pidfile "$file" 20 nfcapd sfcapd
  done
}
