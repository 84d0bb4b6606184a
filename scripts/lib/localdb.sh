# The database of scripts/run: a PostgreSQL 15 cluster of its own under the
# state directory, or an existing server named in a configuration file.
# Sourced by scripts/run, which sets STATE, ROOT and the helpers say/die.
# shellcheck shell=bash

PG_BIN=/usr/lib/postgresql/15/bin
PG_ROOT="$STATE/pg"
PG_DATA="$PG_ROOT/data"

# Connection settings; set by db_use_local or db_use_file.
DB_HOST="" DB_PORT="" DB_NAME="" DB_USER="" DB_PASSWORD=""

# PostgreSQL refuses to run as root: its tools then run as `postgres`.
as_pg() {
  if [ "$(id -u)" -eq 0 ]; then
    /usr/sbin/runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# psql as the programs' user, through the password file (so no password
# shows on a command line or a terminal). Extra arguments follow.
db_psql() {
  PGPASSFILE="$STATE/pgpass" /usr/bin/psql -X -q -v ON_ERROR_STOP=1 \
    -h "$DB_HOST" -p "$DB_PORT" -U "$DB_USER" -d "$DB_NAME" "$@"
}

# One value (first column of the first row) of a query.
db_value() {
  db_psql -A -t -c "$1"
}

# Value of a key in a section of a kova configuration file: the line that
# starts with "key=", everything after the first "=".
ini_value() {
  local file="$1" section="$2" key="$3"
  /usr/bin/awk -v section="[$section]" -v key="$key" '
    { sub(/^[ \t]*/, "") }
    /^#/ { next }
    /^\[/ { inside = ($0 == section); next }
    inside && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
  ' "$file"
}

write_pgpass() {
  umask 077
  printf '%s:%s:%s:%s:%s\n' "$DB_HOST" "$DB_PORT" "$DB_NAME" "$DB_USER" \
    "$(printf '%s' "$DB_PASSWORD" | sed 's/[\\:]/\\&/g')" >"$STATE/pgpass"
  umask 022
}

# The [POSTGRESQL] section of an existing configuration names the server.
db_use_file() {
  local file="$1"
  [ -r "$file" ] || die "cannot read $file"
  DB_HOST=$(ini_value "$file" POSTGRESQL PGSQL_host)
  DB_PORT=$(ini_value "$file" POSTGRESQL PGSQL_port)
  DB_NAME=$(ini_value "$file" POSTGRESQL PGSQL_db)
  DB_USER=$(ini_value "$file" POSTGRESQL PGSQL_username)
  DB_PASSWORD=$(ini_value "$file" POSTGRESQL PGSQL_pwd)
  [ -n "$DB_HOST" ] && [ -n "$DB_PORT" ] && [ -n "$DB_NAME" ] && [ -n "$DB_USER" ] ||
    die "$file: the [POSTGRESQL] section needs PGSQL_host, PGSQL_port, PGSQL_db and PGSQL_username"
  write_pgpass
  db_psql -c "SELECT 1" >/dev/null || die "cannot connect to the database named in $file"
  say "database: $DB_USER@$DB_HOST:$DB_PORT/$DB_NAME (from $file)"
}

# A secret made once and kept in the state directory.
secret_file() {
  local file="$1" owner="$2"
  if [ ! -s "$file" ]; then
    (umask 077 && head -c 24 /dev/urandom | base64 | tr -d '/+=\n' >"$file")
  fi
  [ -z "$owner" ] || [ "$(id -u)" -ne 0 ] || chown "$owner" "$file"
  cat "$file"
}

pg_init_cluster() {
  [ -f "$PG_DATA/PG_VERSION" ] && return 0
  say "creating a PostgreSQL cluster in $PG_DATA"
  rm -rf "$PG_DATA"
  mkdir -p "$PG_ROOT"
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres: "$PG_ROOT"
    as_pg test -w "$PG_ROOT" ||
      die "the postgres user cannot reach $PG_ROOT (a parent directory is closed to it); set KOVA_STATE_DIR to a directory it can reach"
  fi
  secret_file "$PG_ROOT/superuser-password" postgres >/dev/null
  as_pg "$PG_BIN/initdb" -D "$PG_DATA" -U postgres --pwfile="$PG_ROOT/superuser-password" \
    --auth-host=scram-sha-256 --auth-local=scram-sha-256 --locale=C --encoding=UTF8 \
    --no-instructions >"$PG_ROOT/initdb.log" 2>&1 ||
    die "initdb failed: $(tail -n 5 "$PG_ROOT/initdb.log")"
  # Loopback only, and no Unix socket: its path under a deep checkout could
  # pass the length limit of socket addresses.
  as_pg sh -c "cat >>'$PG_DATA/postgresql.conf'" <<EOF

# scripts/run: a local server for the demonstration.
listen_addresses = '127.0.0.1'
unix_socket_directories = ''
EOF
}

pg_running() {
  as_pg "$PG_BIN/pg_ctl" status -D "$PG_DATA" >/dev/null 2>&1
}

pg_start() {
  local port="$1"
  if pg_running; then
    say "PostgreSQL cluster already running"
  else
    say "starting the PostgreSQL cluster on 127.0.0.1:$port"
    as_pg "$PG_BIN/pg_ctl" start -D "$PG_DATA" -w -t 60 -l "$PG_ROOT/server.log" \
      -o "-p $port" >/dev/null 2>&1 ||
      die "PostgreSQL did not start: $(tail -n 5 "$PG_ROOT/server.log")"
  fi
  # The port it really listens on: an earlier call may have chosen another.
  DB_PORT=$(sed -n 4p "$PG_DATA/postmaster.pid")
}

pg_stop() {
  [ -f "$PG_DATA/PG_VERSION" ] && pg_running || return 0
  say "stopping the PostgreSQL cluster (pid $(head -n 1 "$PG_DATA/postmaster.pid"))"
  as_pg "$PG_BIN/pg_ctl" stop -D "$PG_DATA" -m fast -w -t 60 >/dev/null
}

# The programs' role and database, made once.
pg_create_user() {
  local super_password
  super_password=$(cat "$PG_ROOT/superuser-password")
  local admin=(/usr/bin/psql -X -q -A -t -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$DB_PORT" -U postgres)
  export PGPASSWORD="$super_password"
  if [ -z "$("${admin[@]}" -d postgres -c "SELECT 1 FROM pg_roles WHERE rolname = 'kova'")" ]; then
    say "creating the role and database kova"
    "${admin[@]}" -d postgres -c "CREATE ROLE kova LOGIN PASSWORD '$DB_PASSWORD'" >/dev/null
  fi
  if [ -z "$("${admin[@]}" -d postgres -c "SELECT 1 FROM pg_database WHERE datname = 'kova'")" ]; then
    "${admin[@]}" -d postgres -c "CREATE DATABASE kova OWNER kova" >/dev/null
  fi
  unset PGPASSWORD
}

db_use_local() {
  local port="$1"
  pg_init_cluster
  pg_start "$port"
  DB_HOST=127.0.0.1 DB_NAME=kova DB_USER=kova
  DB_PASSWORD=$(secret_file "$STATE/db-password" "")
  pg_create_user
  write_pgpass
  say "database: kova@127.0.0.1:$DB_PORT/kova (local cluster in $PG_DATA)"
}

# sql/schema.sql only creates what is missing, but it is loaded only when a
# table is missing all the same: a server shared with a front end may hold
# an older layout that is not ours to touch.
db_load_schema() {
  local present
  present=$(db_value "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema()
    AND tablename IN ('flows_collector_plugins', 'flows_collector', 'flows_channel',
                      'flows_updel_collector', 'flows_stats')")
  if [ "$present" = 5 ]; then
    say "schema present"
  else
    say "loading sql/schema.sql"
    db_psql -f "$ROOT/sql/schema.sql" >/dev/null
  fi
}
