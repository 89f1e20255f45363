#!/usr/bin/env bash
# Demo: builds the engine, starts a private POP3 server (Dovecot) holding three
# messages for "bob", configures one account that pulls bob's mailbox for the
# local mailbox alice@example.com, runs the engine until the messages are in
# the local mail server's queue folder, and shows what arrived.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target TarnwickSvr

demo=$(mktemp -d /tmp/tarnwick-demo-XXXXXX)
chmod 755 "$demo"
app="$demo/opt/tarnwick"            # the engine's application folder
mailroot="$demo/opt/varnholt"       # the local mail server's root folder
pop="$demo/pop3"                    # the outside POP3 server
mkdir -p "$app" "$mailroot/queue" "$mailroot/data/example.com/user/alice" "$pop/mail" "$demo/etc/tarnwick"
cp build/programs/TarnwickSvr "$app/"

# A free loopback port for the POP3 server.
port=0
for _ in $(seq 1 200); do
  p=$((20000 + RANDOM % 40000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then port=$p; break; fi
done
[ "$port" != 0 ] || { echo "no free port found" >&2; exit 1; }

mailuser=nobody
uid=$(id -u "$mailuser"); gid=$(id -g "$mailuser")
echo "bob:{PLAIN}demo-password" > "$pop/passwd"
cat > "$pop/dovecot.conf" <<CONF
base_dir = $pop/run
state_dir = $pop/state
instance_name = tarnwick-demo-$port
log_path = $pop/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = 1
first_valid_gid = 1
mail_location = maildir:$pop/mail/%u/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $pop/passwd
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$pop/mail/%u
}
service pop3-login {
  inet_listener pop3 {
    port = $port
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
}
CONF
md="$pop/mail/bob/Maildir"
mkdir -p "$md/new" "$md/cur" "$md/tmp"
for i in 1 2 3; do
  printf 'Received: from sender.example.org by mx.example.net; Tue, 1 Dec 2026 10:0%d:00 +0000\r\nFrom: "Carol Sender" <carol@example.org>\r\nTo: bob@example.net\r\nSubject: Demo message %d\r\nDate: Tue, 1 Dec 2026 10:0%d:00 +0000\r\nMessage-ID: <demo%d@example.org>\r\n\r\nHello, this is demo message %d.\r\n.A line that starts with a dot.\r\n' \
    "$i" "$i" "$i" "$i" "$i" > "$md/new/100000000$i.demo$i.localhost"
done
chown -R "$uid:$gid" "$pop/mail"

cleanup() {
  [ -n "${engine:-}" ] && kill "$engine" 2>/dev/null || true
  [ -f "$pop/run/master.pid" ] && kill "$(cat "$pop/run/master.pid")" 2>/dev/null || true
}
trap cleanup EXIT
dovecot -c "$pop/dovecot.conf"
for _ in $(seq 1 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

# The local mail server's root, as the registry names it.
cat > "$demo/etc/tarnwick/registry" <<REG
[HKEY_LOCAL_MACHINE\\Software\\Varnholt]
@="$mailroot"
REG

mkdir -p "$app/conf"
printf 'BEGIN:config\r\nBEGIN:mailpull\r\nMaxThread:4\r\nLogLevel:2\r\nBEGIN:bob-outside\r\nServer:127.0.0.1\r\nPort:%d\r\nUser:bob\r\nPassword:demo-password\r\nProtocol:0\r\nLeaveCopy:1\r\nLocalUser:alice\r\nLocalDomain:example.com\r\nActive:1\r\nDownloadInterval:5\r\nStartTime:0\r\nEND:bob-outside\r\nEND:mailpull\r\nEND:config\r\n' \
  "$port" > "$app/conf/config.txt"

export TARNWICK_SYSROOT="$demo"
echo "starting the engine in $app (the first account is queued after 10 s)"
"$app/TarnwickSvr" /s &
engine=$!
for _ in $(seq 1 120); do
  n=$(find "$mailroot/queue" -name '*.eml' | wc -l)
  [ "$n" -ge 3 ] && break
  sleep 0.5
done
sleep 1
echo
echo "== queue folder $mailroot/queue"
ls -l "$mailroot/queue"
first=$(find "$mailroot/queue" -name '*.eml' | sort | head -n 1)
if [ -n "$first" ]; then
  echo
  echo "== $first"
  cat "$first"
fi
echo
echo "== fetched ids ($app/pull/bob-outside/uidl.txt)"
cat "$app/pull/bob-outside/uidl.txt" 2>/dev/null || echo "(none)"
echo
echo "== activity log"
cat "$app"/log/*.log.txt 2>/dev/null | head -n 60 || echo "(none)"
n=$(find "$mailroot/queue" -name '*.eml' | wc -l)
echo
echo "$n of 3 messages delivered into the queue"
[ "$n" -ge 3 ]
