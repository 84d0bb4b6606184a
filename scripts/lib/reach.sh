# Directories that another user must reach (PostgreSQL's cluster runs as
# postgres, the end-to-end tests run the programs as nobody). A checkout
# under /root or a closed home directory is out of their reach; what they
# need then goes under /var/tmp, in a directory that stays the same for
# every call from one checkout. Sourced; the caller sets ROOT.
# shellcheck shell=bash

# reachable_dir USER WANTED: prints WANTED when USER can reach the checkout
# (or when we are not root, and everything runs as ourselves), otherwise
# /var/tmp/kova-<checksum of the checkout's path>/<last part of WANTED>.
reachable_dir() {
  local user="$1" wanted="$2" base
  if [ "$(id -u)" -ne 0 ] || /usr/sbin/runuser -u "$user" -- test -x "$ROOT"; then
    echo "$wanted"
    return
  fi
  base="/var/tmp/kova-$(printf '%s' "$ROOT" | cksum | cut -d' ' -f1)"
  mkdir -p -m 0755 "$base"
  # /var/tmp is open to everyone: the directory must be root's own.
  if [ -L "$base" ] || [ ! -O "$base" ]; then
    echo "$base is not a directory of root's own" >&2
    return 1
  fi
  echo "$base/$(basename "$wanted")"
}
