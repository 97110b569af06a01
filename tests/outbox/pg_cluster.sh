#!/bin/sh
# A throwaway PostgreSQL cluster for the tests: a CTest fixture starts it once for the suite,
# every test makes a database of its own in it, and the fixture stops it at the end.
#
#   pg_cluster.sh start STATE_DIR           initdb into a fresh folder under /tmp, start it, and
#                                           write STATE_DIR/cluster.env (or STATE_DIR/skip)
#   pg_cluster.sh restart STATE_DIR [MODE]  pg_ctl restart -m MODE (default immediate: a crash)
#   pg_cluster.sh down STATE_DIR            stop the server as a crash would (-m immediate), and
#   pg_cluster.sh up STATE_DIR              start it again on its port: the database away a while
#   pg_cluster.sh stop STATE_DIR            stop it and remove its folder
#
# The server refuses to run as root, so as root the cluster belongs to the Debian package's
# `postgres` user; as anyone else, to that user. It listens on a Unix socket in its own folder
# (mode 0700: only its owner and root reach it, with trust) and on 127.0.0.1 at a free port,
# where every role logs in with a password (scram-sha-256), with or without TLS (the TLS tests'
# certificates: STATE_DIR/certs/ca.pem verifies the server as 127.0.0.1).
#
# Roles: `postgres`, the superuser that makes the databases; `kestrel`, an ordinary role that
# owns them, as a relay's role would. kestrel's password is in STATE_DIR/password (mode 0600),
# never on a command line.
#
# Settings: fsync and synchronous_commit stay on, so a commit the server answered survives
# `pg_ctl restart -m immediate` for the same reason it would survive a power cut, and the
# durability tests mean something. What is off costs nothing a test checks: initdb --no-sync (a
# crash during setup only fails the setup), no JIT (slow to start for short queries), no WAL
# senders (wal_level minimal writes less for each CREATE DATABASE and CREATE TABLE), small
# shared memory.
set -eu

state=${2:-}
[ -n "$state" ] || { echo "usage: pg_cluster.sh start|restart|down|up|stop STATE_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$state" && state=$(cd "$state" && pwd)
# The server's programs resolve their own path from the current folder, which the postgres
# user may not be allowed to enter (a build tree under /root): work from /tmp.
cd /tmp

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

bindir() {
  if [ -n "${KESTREL_PG_BINDIR:-}" ]; then echo "$KESTREL_PG_BINDIR"; return; fi
  ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1
}

skip() {
  echo "$1" >"$state/skip"
  echo "pg_cluster: $1" >&2
  exit 0
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

value() {  # value KEY: from cluster.env
  sed -n "s/^$1=//p" "$state/cluster.env"
}

case "$1" in
start)
  if [ -f "$state/cluster.env" ]; then sh "$here/pg_cluster.sh" stop "$state" || true; fi
  rm -rf "$state" && mkdir -p "$state"
  bin=$(bindir)
  if [ -z "$bin" ] || [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ]; then
    skip "PostgreSQL's server programs (initdb, pg_ctl) are not installed: install the Debian package postgresql (scripts/deps.sh does)"
  fi
  if [ "$(id -u)" -eq 0 ] && ! id postgres >/dev/null 2>&1; then
    skip "running as root, and there is no 'postgres' user to own the cluster: the Debian package postgresql makes it"
  fi
  dir=$(mktemp -d /tmp/kestrel-pg.XXXXXX)
  chmod 0700 "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  password=$(od -An -N18 -tx1 /dev/urandom | tr -d ' \n')
  (umask 077 && printf '%s\n' "$password" >"$state/password")
  as_owner "$bin/initdb" --no-sync -D "$dir/data" -U postgres \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    exit 1
  }
  as_owner sh -c "cat >>'$dir/data/postgresql.conf'" <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
fsync = on
synchronous_commit = on
wal_level = minimal
max_wal_senders = 0
jit = off
shared_buffers = 32MB
max_connections = 100
log_min_messages = warning
log_statement = none
EOF
  # TLS on 127.0.0.1 with the TLS tests' certificates (server.pem names 127.0.0.1).
  certs=$here/../tls/make_certs.sh
  sh "$certs" "$state/certs" >/dev/null
  as_owner sh -c "umask 077 && cat >'$dir/server.key'" <"$state/certs/server.key"
  as_owner sh -c "cat >'$dir/server.pem'" <"$state/certs/server.pem"
  as_owner sh -c "cat >>'$dir/data/postgresql.conf'" <<EOF
ssl = on
ssl_cert_file = '$dir/server.pem'
ssl_key_file = '$dir/server.key'
EOF
  tries=0
  until
    port=$(free_port)
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 -o "-p $port" start >/dev/null
  do
    tries=$((tries + 1))
    if [ "$tries" -ge 3 ]; then
      echo "pg_cluster: the server did not start; its log:" >&2
      cat "$dir/server.log" >&2
      exit 1
    fi
  done
  cat >"$state/cluster.env" <<EOF
dir=$dir
bindir=$bin
socket_dir=$dir
port=$port
script=$here/pg_cluster.sh
EOF
  # The ordinary role; its password arrives on standard input, never on a command line.
  as_owner "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres -d postgres <<EOF
CREATE ROLE kestrel LOGIN PASSWORD '$password';
EOF
  echo "pg_cluster: PostgreSQL $("$bin/postgres" -V | sed "s/^[^0-9]*\([0-9.]*\).*/\1/") on $dir and 127.0.0.1:$port"
  ;;
restart)
  [ -f "$state/cluster.env" ] || { echo "pg_cluster: no cluster in $state" >&2; exit 1; }
  dir=$(value dir) bin=$(value bindir) port=$(value port)
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -m "${3:-immediate}" \
    -o "-p $port" restart >/dev/null
  ;;
down)
  [ -f "$state/cluster.env" ] || { echo "pg_cluster: no cluster in $state" >&2; exit 1; }
  dir=$(value dir) bin=$(value bindir)
  as_owner "$bin/pg_ctl" -D "$dir/data" -w -t 60 -m immediate stop >/dev/null
  ;;
up)
  [ -f "$state/cluster.env" ] || { echo "pg_cluster: no cluster in $state" >&2; exit 1; }
  dir=$(value dir) bin=$(value bindir) port=$(value port)
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -o "-p $port" start >/dev/null
  ;;
stop)
  [ -f "$state/cluster.env" ] || exit 0
  dir=$(value dir) bin=$(value bindir)
  # Immediate: the files are removed next, so the shutdown checkpoint would only cost time.
  as_owner "$bin/pg_ctl" -D "$dir/data" -w -t 30 -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir" "$state/cluster.env"
  ;;
*)
  echo "usage: pg_cluster.sh start|restart|down|up|stop STATE_DIR" >&2
  exit 2
  ;;
esac
