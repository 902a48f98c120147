#!/usr/bin/env bash
# A throw-away S3 server for the tests and benchmarks: Ceph's RADOS Gateway from
# Debian's packages, one monitor and one in-memory OSD, everything on 127.0.0.1.
#
#   scripts/rgw.sh start DIR PORT   installs missing packages, starts the daemons in DIR
#                                   (the gateway on PORT; the monitor on PORT+1/+2, the
#                                   OSD on PORT+10..PORT+60, all of them free: two
#                                   gateways need ports 61 apart), creates the test user
#                                   and prints `export` lines for the environment
#   scripts/rgw.sh stop DIR         stops the daemons by their PIDs and removes DIR
#
# Starting again on a folder whose gateway answers only prints the environment. The
# keys are fixed test keys: the server listens on loopback only and keeps its data in
# memory, so nothing survives `stop`.
set -euo pipefail

ACCESS_KEY=FLECKTESTACCESSKEY01
SECRET_KEY=flecktestsecretkey0000000000000000000001
REGION=us-east-1

usage() {
  echo "usage: $0 start DIR PORT | stop DIR" >&2
  exit 2
}

log() { echo "rgw.sh: $*" >&2; }

print_env() {
  local port=$1
  echo "export AWS_ENDPOINT_URL=http://127.0.0.1:$port"
  echo "export AWS_ACCESS_KEY_ID=$ACCESS_KEY"
  echo "export AWS_SECRET_ACCESS_KEY=$SECRET_KEY"
  echo "export AWS_DEFAULT_REGION=$REGION"
}

install_packages() {
  local missing=()
  for p in ceph-mon ceph-osd radosgw ceph-common curl; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

answers() {
  curl -s -o /dev/null -m 2 -w '%{http_code}' "http://127.0.0.1:$1/" 2>/dev/null | grep -q '^200$'
}

# Waits up to $2 seconds for the command $1 to succeed.
wait_for() {
  local what=$1 seconds=$2
  for _ in $(seq 1 $((seconds * 5))); do
    if eval "$what"; then return 0; fi
    sleep 0.2
  done
  return 1
}

# A signed request with curl's own SigV4 (warm-up only).
s3() {
  local method=$1 path=$2
  curl -s -f -o /dev/null -X "$method" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" \
    --aws-sigv4 "aws:amz:$REGION:s3" \
    --user "$ACCESS_KEY:$SECRET_KEY" "${@:3}" "http://127.0.0.1:$PORT/$path"
}

# Fails when a port the daemons need is taken (by anything, another gateway included):
# they would not fail at once but hang.
check_ports() {
  local port
  for port in "$PORT" $(seq $((PORT + 1)) $((PORT + 2))) $(seq $((PORT + 10)) $((PORT + 60))); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      log "port $port is in use; the gateway needs $PORT, $((PORT + 1))-$((PORT + 2)) and $((PORT + 10))-$((PORT + 60))"
      exit 1
    fi
  done
}

start() {
  DIR=$1
  PORT=$2
  [[ $PORT =~ ^[0-9]+$ ]] || usage
  if [ -f "$DIR/port" ] && answers "$(cat "$DIR/port")"; then
    print_env "$(cat "$DIR/port")"
    return 0
  fi
  [ -e "$DIR" ] && stop_daemons "$DIR"
  check_ports
  install_packages
  rm -rf "$DIR"
  mkdir -p "$DIR"/{run,log,crash,mon/ceph-a,osd/ceph-0,rgw}
  DIR=$(cd "$DIR" && pwd)
  local fsid osd_uuid mon="[v2:127.0.0.1:$((PORT + 1)),v1:127.0.0.1:$((PORT + 2))]"
  fsid=$(cat /proc/sys/kernel/random/uuid)
  osd_uuid=$(cat /proc/sys/kernel/random/uuid)
  echo "$PORT" >"$DIR/port"
  cat >"$DIR/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = $mon
mon initial members = a
public addr = 127.0.0.1
public network = 127.0.0.1/32
cluster network = 127.0.0.1/32
ms bind ipv4 = true
ms bind ipv6 = false
ms bind port min = $((PORT + 10))
ms bind port max = $((PORT + 60))
auth cluster required = none
auth service required = none
auth client required = none
auth supported = none
# Required with authentication off: without them the gateway loops on its first request.
ms mon client mode = crc
ms client mode = crc
ms service mode = crc
ms cluster mode = crc
run dir = $DIR/run
admin socket = $DIR/run/\$name.asok
log file = $DIR/log/\$name.log
crash dir = $DIR/crash
log to stderr = false
err to stderr = true
mon cluster log file = $DIR/log/cluster.log
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
mon allow pool size one = true
mon allow pool delete = true
mon max pg per osd = 1000
mon warn on pool no redundancy = false
mon warn on insecure global id reclaim allowed = false

[mon]
mon data = $DIR/mon/\$cluster-\$id
mon data avail warn = 2
mon data avail crit = 1

[osd]
osd data = $DIR/osd/\$cluster-\$id
osd objectstore = memstore
# Otherwise the in-memory store comes back empty after a restart and requests hang.
osd fast shutdown = false
memstore device bytes = 4294967296
# Short placement-group logs keep the store's memory flat.
osd min pg log entries = 100
osd max pg log entries = 300
osd pg log dups tracked = 300
osd pg log trim min = 50

[client.rgw.a]
rgw frontends = beast endpoint=127.0.0.1:$PORT
auth client required = none
ms mon client mode = crc
rgw data = $DIR/rgw
rgw thread pool size = 64
EOF
  export CEPH_CONF=$DIR/ceph.conf
  local out=$DIR/log/daemons.out
  monmaptool --create --clobber --fsid "$fsid" --addv a "$mon" "$DIR/monmap" >>"$out" 2>&1
  ceph-mon --mkfs -i a --monmap "$DIR/monmap" >>"$out" 2>&1
  # setsid and -f: the daemons outlive this script and are stopped by PID.
  setsid ceph-mon -i a -f </dev/null >>"$out" 2>&1 &
  echo $! >"$DIR/mon.pid"
  ceph --connect-timeout 60 osd new "$osd_uuid" >>"$out" 2>&1
  ceph-osd -i 0 --mkfs --osd-uuid "$osd_uuid" >>"$out" 2>&1
  setsid ceph-osd -i 0 -f </dev/null >>"$out" 2>&1 &
  echo $! >"$DIR/osd.pid"
  setsid radosgw -n client.rgw.a -f </dev/null >>"$out" 2>&1 &
  echo $! >"$DIR/rgw.pid"
  if ! wait_for "answers $PORT" 120; then
    log "the gateway did not answer on port $PORT; see $DIR/log"
    exit 1
  fi
  radosgw-admin -n client.admin user create --uid=fleck-test --display-name="fleck tests" \
    --access-key="$ACCESS_KEY" --secret-key="$SECRET_KEY" >>"$out" 2>&1
  # The first write creates the gateway's bucket pools (seconds): pay for it here.
  wait_for "s3 PUT warmup-bucket" 60 || { log "cannot create a bucket"; exit 1; }
  wait_for "s3 PUT warmup-bucket/object --data-binary x" 60 || { log "cannot PUT"; exit 1; }
  s3 DELETE warmup-bucket/object
  s3 DELETE warmup-bucket
  print_env "$PORT"
}

stop_daemons() {
  local dir=$1 pid
  for name in rgw osd mon; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    kill "$pid" 2>/dev/null || true
  done
  for name in rgw osd mon; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/$name.pid"
  done
}

stop() {
  local dir=$1
  [ -e "$dir" ] || return 0
  stop_daemons "$dir"
  rm -rf "$dir"
}

case "${1:-}" in
  start) [ $# -eq 3 ] || usage; start "$2" "$3" ;;
  stop) [ $# -eq 2 ] || usage; stop "$2" ;;
  *) usage ;;
esac
