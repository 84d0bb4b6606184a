#!/usr/bin/env bash
# Installation as operators get it, from a built tree (argument): `cmake
# --install` puts every file in its place, the systemd units pass
# `systemd-analyze verify` and are rated 2.5 or lower by `systemd-analyze
# security`, the sysusers.d entry creates user and group kova, a second
# install keeps the operator's configuration, and `cpack -G DEB` makes a
# package for /usr that declares its runtime dependencies, that lintian
# passes, and that dpkg installs, upgrades, removes and purges on this very
# machine (skipped, status 77, where that cannot be done).
set -uo pipefail
build="$1"
tmp=$(mktemp -d /tmp/kova-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
units="$prefix/lib/systemd/system"
conf="$prefix/etc/kova/flows.conf"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
[ "$(stat -c %a "$conf")" = 640 ] || fail "configuration missing or its mode is not 0640"
# The plugins (one directory, modes kept) find their shared code where they are installed.
env -i "$prefix/lib/kova/plugins/flow_top" -d "$tmp" -c none -i 60 >/dev/null
[ $? -eq 2 ] || fail "installed flow_top does not run"
grep -q "systemctl kill --kill-whom=main --signal=SIGHUP kova-flow-collector.service" \
  "$prefix/etc/logrotate.d/kova-flow-collector" || fail "log rotation does not signal the collector"
mkdir -p "$tmp/sysroot/etc"
systemd-sysusers --root="$tmp/sysroot" "$prefix/lib/sysusers.d/kova.conf" >/dev/null 2>&1 || fail "systemd-sysusers"
grep -q "^kova:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$" "$tmp/sysroot/etc/passwd" 2>/dev/null &&
  grep -q "^kova:x:" "$tmp/sysroot/etc/group" || fail "sysusers.d entry does not create user and group kova"

# verify also fails on an ExecStart program that is not there or not executable,
# and on a manual page named in Documentation= that man cannot find.
MANPATH="$prefix/share/man" /usr/bin/systemd-analyze verify "$units/kova-flow-collector.service" "$units/kova-flow-capture.service" \
  "$units/kova-flow-capture.timer" || fail "systemd-analyze verify"
for unit in "$units"/kova-flow-{collector,capture}.service; do
  # Exposure 2.5 or lower (the threshold is in tenths).
  /usr/bin/systemd-analyze security --offline=true --threshold=25 "$unit" >"$tmp/security.txt" 2>&1 ||
    { cat "$tmp/security.txt"; fail "systemd-analyze security: $unit"; }
  grep -qx "User=kova" "$unit" || fail "$unit does not run as kova"
done
grep -qx "KillMode=process" "$units/kova-flow-capture.service" ||
  fail "capture service would kill the capture tools it starts"
grep -qx "plugin_dir=$prefix/lib/kova/plugins" "$conf" || fail "plugins not confined to the installed plugin directory"
# Every setting the programs read is in the example (no inline comments,
# which would become part of a value).
for key in log_info_file log_daemon_file log_daemon_capture core_number thread_number load_mod \
  interval_check_update datadir piddir connection_number PGSQL_host PGSQL_port PGSQL_db \
  PGSQL_username PGSQL_pwd ps netflows sflows plugin_timeout plugin_output_max result_backlog metrics_listen; do
  grep -Eq "^$key=[^ #]+$" "$conf" || fail "example configuration: $key"
done

echo "# the operator's own" >"$conf"
cmake --install "$build" --prefix "$prefix" >/dev/null 2>&1 || fail "second install"
grep -q "operator's own" "$conf" || fail "configuration overwritten"

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1) ||
  { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/deb/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for package in libpq5 libboost-filesystem nfdump nfdump-sflow procps python3; do
  [[ ", $depends" == *", $package"* ]] || fail "package does not depend on $package: $depends"
done
lintian --fail-on warning "$deb" >"$tmp/lintian.txt" 2>&1 || { cat "$tmp/lintian.txt"; fail "lintian"; }
[ "$failures" -eq 0 ] || exit 1

skip() { echo "SKIPPED: the package's life with dpkg: $*"; exit 77; }
[ -f /var/lib/dpkg/status ] && [ "$(id -u)" -eq 0 ] || skip "it needs root, and dpkg as this machine's package manager"
dpkg-query -W kova-flow >/dev/null 2>&1 && skip "kova-flow is installed here; the test would remove it"
# (Not /var/tmp or /tmp: other tests keep their own kova files there.)
ours() { find /etc /usr /var/log /var/cache /var/lib /run -xdev -path /var/lib/dpkg -prune -o -print 2>/dev/null | grep -i kova | sort; }
ours >"$tmp/before"
had_user=$(getent passwd kova)
# The same version built again with a changed configuration file: an upgrade.
dpkg-deb -R "$deb" "$tmp/v2"
echo "# second build" >>"$tmp/v2/etc/kova/flows.conf"
sed -i "s|^[0-9a-f]*  etc/kova/flows.conf\$|$(cd "$tmp/v2" && md5sum etc/kova/flows.conf)|" "$tmp/v2/DEBIAN/md5sums"
dpkg-deb --root-owner-group -b "$tmp/v2" "$tmp/v2.deb" >/dev/null || fail "second build"
conf=/etc/kova/flows.conf
dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "install"; }
[ "$(stat -c %U:%G:%a $conf)" = root:kova:640 ] || fail "installed configuration is not root:kova 0640"
# One path per install rule.
ls /usr/sbin/kovaFlowCollector /usr/sbin/kovaFlowCapture /usr/lib/kova/plugins/lib/flowfiles.py /usr/share/kova/schema.sql \
  /usr/lib/sysusers.d/kova.conf /usr/share/man/man8/kovaFlowCapture.8.gz /usr/share/kova/prometheus/kova-rules.yml >/dev/null || fail "package lacks a file"
grep -qx "ExecStartPre=/usr/sbin/kovaFlowCollector -t -f $conf" /usr/lib/systemd/system/kova-flow-collector.service ||
  fail "packaged unit paths"
! systemctl is-enabled --quiet nfdump.service 2>/dev/null || grep -q "^kova-flow: nfdump.service is enabled" \
  "$tmp/dpkg.log" || fail "postinst does not tell of the enabled nfdump.service"
echo "# the operator's edit" >>$conf
dpkg -i --force-confold "$tmp/v2.deb" >>"$tmp/dpkg.log" 2>&1 || fail "upgrade"
grep -q "operator's edit" $conf && grep -q "second build" $conf.dpkg-dist || fail "upgrade lost the edit"
# What the services make at run time, for the purge to remove.
mkdir -p /var/log/kova /var/cache/kova/edge /var/lib/kova /run/kova && touch /var/log/kova/collector.log.1.gz /run/kova/status
dpkg -r kova-flow >>"$tmp/dpkg.log" 2>&1 || fail "remove"
grep -q "operator's edit" $conf && [ -f /etc/logrotate.d/kova-flow-collector ] || fail "remove lost configuration"
dpkg -P kova-flow >>"$tmp/dpkg.log" 2>&1 || fail "purge"
getent passwd kova >/dev/null || fail "purge removed the user kova"
ours >"$tmp/after"
diff "$tmp/before" "$tmp/after" || fail "files of ours left after purge (above)"
# The user is kept by a purge; only a test that made it removes it.
[ -n "$had_user" ] || userdel kova 2>/dev/null

[ "$failures" -eq 0 ] || { cat "$tmp/dpkg.log"; exit 1; }
echo "installation and package checks passed"
