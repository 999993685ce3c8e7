#!/usr/bin/env bash
# POP3 collection speed: "vorla fetch", mpop and fetchmail each take the same mailbox from a
# private Dovecot through a loopback relay that delays every chunk by a chosen time each way,
# deleting on the server; then mpop collects from Vorla's local POP3 server and from Dovecot.
# Prints the rates and the ratios.
#
# Usage: bench/pop-speed.sh [--vorla PATH] [--runs N] [--quick]
#   --vorla PATH  the vorla program (default: build/vorla beside this script's source tree)
#   --runs N      runs of each measurement; the median is printed (default 3)
#   --quick       one run each, fewer messages
# VORLA_WRAP="strace -c -f" (or a profiler) runs each "vorla fetch" under that command.
# Needs root (Dovecot's mail files belong to nobody). Installs dovecot, mpop and fetchmail
# when missing. Everything runs on 127.0.0.1; every process started here is stopped by PID.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
vorla=$top/build/vorla
runs=3
small=200      # messages at the added delay
large=1000     # messages without added delay
size=5000      # bytes per message, about
delays=(${DELAYS:-10 0})  # one-way delay of the relay in ms
rejectkb=1000  # a size limit no message reaches: Vorla asks the sizes
while (($#)); do
  case $1 in
    --vorla) vorla=$(realpath "$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --quick) runs=1; small=50; large=200; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (Dovecot's mail files go to nobody)" >&2; exit 2; }
[ -x "$vorla" ] || { echo "no vorla program at $vorla" >&2; exit 2; }

missing=()
for p in dovecot-core dovecot-pop3d mpop fetchmail python3 eatmydata bc; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

work=$(mktemp -d /tmp/vorla-pop-speed-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  [ -n "${KEEP_WORK:-}" ] && { echo "work folder kept: $work" >&2; for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; return; }
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {  # port: waits at most 10 s until it accepts
  for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1',$1)))" && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; return 1
}
now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# ---- Dovecot with one user, fay, whose Maildir is filled before every run.
dport=$(free_port)
mkdir -p "$work"/{run,state,mail/fay/Maildir/{new,cur,tmp}}
chown -R nobody:nogroup "$work/mail"
chmod -R 700 "$work/mail"
echo 'fay:{PLAIN}faypw' > "$work/users"
cat > "$work/dovecot.conf" <<EOF
protocols = pop3
base_dir = $work/run
state_dir = $work/state
log_path = $work/dovecot.log
info_log_path = $work/dovecot.log
listen = 127.0.0.1
disable_plaintext_auth = no
auth_failure_delay = 0
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:$work/mail/%u/Maildir
ssl = no
passdb {
  driver = passwd-file
  args = scheme=PLAIN $work/users
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$work/mail/%u
}
service pop3-login {
  inet_listener pop3 {
    port = $dport
  }
}
EOF
/usr/sbin/dovecot -F -c "$work/dovecot.conf" > "$work/dovecot.out" 2>&1 &
pids+=($!)
wait_port "$dport"

# The messages, written once; each run copies them into new/.
mkdir -p "$work/spool"
/usr/bin/python3 - "$work/spool" "$large" "$size" <<'EOF'
import sys
folder, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
line = "The quick brown fox jumps over the lazy dog, and then it rests for a while.\n"
for i in range(1, count + 1):
    header = ("Return-Path: <ann%d@example.org>\nReceived: from mx.example.org (mx.example.org [192.0.2.7])\n"
              "\tby pop.example.net; Mon, 4 Mar 2024 10:00:00 +0000\nFrom: Ann <ann%d@example.org>\n"
              "To: Fay <fay@example.net>\nSubject: Load message %d\nDate: Mon, 4 Mar 2024 10:%02d:%02d +0000\n"
              "Message-ID: <load-%d@example.org>\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n"
              % (i, i, i, (i // 60) % 60, i % 60, i))
    body = "." + line  # a line that needs dot-stuffing
    while len(header) + len(body) < size:
        body += line
    with open("%s/%06d.eml" % (folder, i), "w") as f:
        f.write(header + body)
EOF
fill() {  # count: the first count messages into a mailbox emptied first
  rm -rf "$work/mail/fay/Maildir"/{new,cur}/*
  local i stamp; stamp=$(date +%s%N)
  for ((i = 1; i <= $1; i++)); do
    printf -v name '%06d' "$i"
    cp "$work/spool/$name.eml" "$work/mail/fay/Maildir/new/${stamp:0:10}.M${stamp:10}Q$i.bench"
  done
  chown -R nobody:nogroup "$work/mail/fay/Maildir"
}
left() { find "$work/mail/fay/Maildir/new" "$work/mail/fay/Maildir/cur" -type f | wc -l; }

start_relay() {  # delay-ms [--hide-capability WORD]: sets port to the relay's
  port=$(free_port)
  /usr/bin/python3 "$top/bench/pop_relay.py" "$port" "$dport" "$@" > "$work/relay.out" 2>&1 &
  relay_pid=$!
  pids+=("$relay_pid")
  wait_port "$port"
}
stop_relay() { kill "$relay_pid" 2>/dev/null || true; wait "$relay_pid" 2>/dev/null || true; }

# ---- The three clients; each prints its seconds for count messages and checks the mailbox.
export XDG_RUNTIME_DIR=$work/xdg-run XDG_CONFIG_HOME=$work/xdg-config
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
run_vorla() {  # port count
  local home=$work/vorla-home
  rm -rf "$home"
  "$vorla" --home "$home" account add Fay email=fay@example.net popserver=127.0.0.1 "popport=$1" \
    loginname=fay password=faypw enablefetch=1 enablefilters=0 enablesend=0 "rejectkb=$rejectkb" >/dev/null
  local t0 t1; t0=$(now)
  ${VORLA_WRAP:-} "$vorla" --home "$home" fetch > "$work/vorla.out" 2>&1 || { cat "$work/vorla.out" >&2; return 1; }
  t1=$(now)
  local stored; stored=$(find "$home/accounts" -path '*/vorla/*.msg' | wc -l)
  [ "$stored" -eq "$2" ] || { echo "vorla stored $stored of $2" >&2; tail -5 "$work/vorla.out" >&2; return 1; }
  echo "$t1 - $t0" | bc -l
}
run_mpop() {  # port count keep(on|off) [wrapper...]
  local out=$work/mpop-out
  rm -rf "$out" "$work/mpop.uidls"; mkdir -p "$out"/{new,cur,tmp}
  local t0 t1; t0=$(now)
  "${@:4}" mpop --host=127.0.0.1 --port="$1" --user=fay --passwordeval='echo faypw' --auth=user --tls=off \
    --timeout=60 --pipelining=auto --delivery=maildir,"$out" --keep="$3" --only-new=off \
    --uidls-file="$work/mpop.uidls" -q > "$work/mpop.log" 2>&1 || { cat "$work/mpop.log" >&2; return 1; }
  t1=$(now)
  local got; got=$(find "$out/new" -type f | wc -l)
  [ "$got" -eq "$2" ] || { echo "mpop took $got of $2" >&2; return 1; }
  echo "$t1 - $t0" | bc -l
}
run_fetchmail() {  # port count
  local fhome=$work/fetchmail-home
  rm -rf "$fhome"; mkdir -p "$fhome"
  cat > "$fhome/rc" <<EOF
set no bouncemail
poll 127.0.0.1 port $1 protocol pop3 timeout 60
  user 'fay' password 'faypw' is 'root' here sslproto '' no sslcertck
  no keep fetchall mda "cat > /dev/null"
EOF
  chmod 600 "$fhome/rc"
  local t0 t1; t0=$(now)
  FETCHMAILHOME=$fhome fetchmail -f "$fhome/rc" --nodetach -s > "$work/fetchmail.log" 2>&1 \
    || { cat "$work/fetchmail.log" >&2; return 1; }
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

measure() {  # label count runner args...: runs it $runs times on a fresh mailbox, median seconds
  local label=$1 count=$2; shift 2
  local times=() i s
  for ((i = 0; i < runs; i++)); do
    fill "$count"
    s=$("$@") || { echo "$label failed" >&2; return 1; }
    local rest; rest=$(left)
    [ "$rest" -eq 0 ] || { echo "$label left $rest messages on the server" >&2; return 1; }
    times+=("$s")
  done
  printf '%s\n' "${times[@]}" | median
}

report() {  # label count seconds
  printf '  %-34s %5d msgs %8.2f s %8.1f msg/s\n' "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)"
}
ratio() {  # text a b: a / b
  printf '  %-48s %6.2f\n' "$1" "$(echo "$2 / $3" | bc -l)"
}

echo "vorla: $vorla"
echo "runs per figure: $runs (median)"
for delay in "${delays[@]}"; do
  count=$([ "$delay" = 0 ] && echo "$large" || echo "$small")
  echo
  echo "== Dovecot through a relay adding $delay ms each way, $count messages of ~$size bytes"
  start_relay "$delay"
  tv=$(measure "vorla fetch" "$count" run_vorla "$port" "$count")
  report "vorla fetch" "$count" "$tv"
  tm=$(measure "mpop" "$count" run_mpop "$port" "$count" off)
  report "mpop" "$count" "$tm"
  tf=$(measure "fetchmail" "$count" run_fetchmail "$port" "$count")
  report "fetchmail" "$count" "$tf"
  stop_relay
  ratio "vorla time / mpop time" "$tv" "$tm"
  ratio "vorla time / fetchmail time" "$tv" "$tf"
  if [ "$delay" != 0 ]; then
    start_relay "$delay" --hide-capability PIPELINING
    tn=$(measure "vorla fetch, no PIPELINING" "$count" run_vorla "$port" "$count")
    report "vorla fetch, PIPELINING hidden" "$count" "$tn"
    stop_relay
  fi
done

# ---- mpop collecting from Vorla's local server and from Dovecot, keeping the mail, direct.
# mpop runs under eatmydata here: its own flush of every delivered file would otherwise be
# what is measured, not the servers.
echo
echo "== mpop collecting $large messages (kept), straight from each server (mpop under eatmydata)"
fill "$large"
run_vorla "$dport" "$large" > /dev/null  # Vorla's folder now holds the same messages
home=$work/vorla-home
vport=$(free_port)
/usr/bin/python3 - "$home/vorla.ini" "$vport" <<'EOF'
import sys
path, port = sys.argv[1], sys.argv[2]
wanted = {"options": {"server": "1", "timerenabled": "0"}, "bind": {"ipaddress": "127.0.0.1", "port": port}}
out, section = [], None
def rest():
    for key, value in wanted.pop(section, {}).items():
        out.append("%s=%s" % (key, value))
for line in open(path, newline="").read().replace("\r\n", "\n").split("\n"):
    if line.startswith("["):
        rest()
        section = line.strip("[]").lower()
    elif "=" in line and line.split("=", 1)[0].lower() in wanted.get(section, {}):
        key = line.split("=", 1)[0].lower()
        line = "%s=%s" % (key, wanted[section].pop(key))
    out.append(line)
rest()
for section, keys in wanted.items():
    out.append("[%s]" % section)
    out.extend("%s=%s" % kv for kv in keys.items())
open(path, "w", newline="").write("\r\n".join(out) + "\r\n")
EOF
"$vorla" --headless --home "$home" > "$work/headless.out" 2>&1 &
vpid=$!
pids+=("$vpid")
wait_port "$vport"
fill "$large"
# Each run takes well under a second: more of them, alternating, steady the medians.
times_v=() times_d=()
for ((i = 0; i < runs * 3; i++)); do
  times_v+=("$(run_mpop "$vport" "$large" on eatmydata)")
  times_d+=("$(run_mpop "$dport" "$large" on eatmydata)")
done
sv=$(printf '%s\n' "${times_v[@]}" | median)
sd=$(printf '%s\n' "${times_d[@]}" | median)
report "mpop from Vorla's server" "$large" "$sv"
report "mpop from Dovecot" "$large" "$sd"
ratio "rate from Vorla / rate from Dovecot" "$sd" "$sv"
kill "$vpid"; wait "$vpid" 2>/dev/null || true
