#!/usr/bin/env bash
# A private rsyslog for the syslog tests: no system configuration, no
# /dev/log, loopback UDP and TCP ports of its own, everything received
# written with its parsed fields.
#
#   syslog_receiver.sh start DIR   start rsyslogd in DIR; writes DIR/ports
#                                  ("udp=N" and "tcp=N" lines), or
#                                  DIR/unavailable with the reason
#   syslog_receiver.sh stop DIR    end the rsyslogd of DIR/rsyslogd.pid
#
# Every message becomes one line of DIR/received.txt:
#   pri=P time=Mmm dd hh:mm:ss host=H from=F tag=T msg=M
# (rsyslog writes the day with a leading blank, "Mar  5"; F is the sender as
# rsyslog names it), and its bytes as received one line of DIR/raw.txt.
# "start" exits 0 even when rsyslog is missing, so that the tests can skip.
# shellcheck disable=SC2317  # the conditions below are called through wait_for
set -uo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
(($# == 2)) || usage
action=$1
dir=$2

# A deadline in tenths of a second, polled; no fixed sleeps.
wait_for() {
    local tenths=$1
    shift
    while ((tenths-- > 0)); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

running() { [[ -n ${1:-} ]] && kill -0 "$1" 2>/dev/null; }
ended() { ! running "$1"; }

stop_receiver() {
    local pid
    pid=$(cat "$dir/rsyslogd.pid" 2>/dev/null) || return 0
    if running "$pid"; then
        kill "$pid" 2>/dev/null
        if ! wait_for 100 ended "$pid"; then
            kill -KILL "$pid" 2>/dev/null
            wait_for 50 ended "$pid"
        fi
    fi
    rm -f "$dir/rsyslogd.pid"
}

unavailable() {
    echo "$1" >"$dir/unavailable"
    echo "syslog_receiver: $1" >&2
    exit 0
}

# Whether anything holds PORT in /proc/net/TABLE (any address; TCP only
# when listening, state 0A).
in_use() {
    local table=$1 port
    port=$(printf '%04X' "$2")
    if [[ $table == tcp* ]]; then
        grep -qE "^ *[0-9]+: [0-9A-F]+:$port [0-9A-F]+:[0-9A-F]+ 0A " "/proc/net/$table" 2>/dev/null
    else
        grep -qE "^ *[0-9]+: [0-9A-F]+:$port " "/proc/net/$table" 2>/dev/null
    fi
}

# A port free now, below the kernel's usual ephemeral range (32768 up) so
# that outgoing connections do not take it meanwhile; never 514.
pick_port() {
    local table=$1 port
    for _ in $(seq 100); do
        port=$((20000 + RANDOM % 12000))
        if ! in_use "$table" "$port" && ! in_use "${table}6" "$port"; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# Whether rsyslogd ($pid) holds both ports, or has given up.
listening_or_ended() { { bound udp "$udp" && bound tcp "$tcp"; } || ended "$pid"; }

# Whether 127.0.0.1:PORT is bound (udp) or listening (tcp).
bound() {
    local table=$1 port
    port=$(printf '%04X' "$2")
    if [[ $table == tcp ]]; then
        grep -qE "^ *[0-9]+: 0100007F:$port [0-9A-F]+:[0-9A-F]+ 0A " /proc/net/tcp
    else
        grep -qE "^ *[0-9]+: 0100007F:$port " /proc/net/udp
    fi
}

case $action in
stop)
    stop_receiver
    exit 0
    ;;
start) ;;
*) usage ;;
esac

mkdir -p "$dir" || exit 1
dir=$(cd "$dir" && pwd)
stop_receiver
rm -f "$dir/ports" "$dir/unavailable" "$dir/received.txt" "$dir/raw.txt"

rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[[ -x $rsyslogd ]] || unavailable "rsyslogd is not installed (Debian package rsyslog)"

# A port found free may be taken before rsyslogd binds it: try again.
for _ in 1 2 3 4 5; do
    if ! udp=$(pick_port udp) || ! tcp=$(pick_port tcp); then
        unavailable "no free loopback ports"
    fi
    cat >"$dir/rsyslog.conf" <<EOF
global(workDirectory="$dir")
module(load="imudp")
module(load="imtcp")
input(type="imudp" address="127.0.0.1" port="$udp")
input(type="imtcp" address="127.0.0.1" port="$tcp")
template(name="fields" type="string"
         string="pri=%pri% time=%timereported:::date-rfc3164% host=%hostname% from=%fromhost% tag=%syslogtag% msg=%msg%\n")
template(name="raw" type="string" string="%rawmsg%\n")
action(type="omfile" file="$dir/received.txt" template="fields")
action(type="omfile" file="$dir/raw.txt" template="raw")
EOF
    # Detached from the caller's output, so that ctest does not wait for it.
    "$rsyslogd" -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" \
        </dev/null >"$dir/rsyslogd.log" 2>&1 &
    pid=$!
    if wait_for 100 listening_or_ended && running "$pid"; then
        printf 'udp=%d\ntcp=%d\n' "$udp" "$tcp" >"$dir/ports"
        echo "syslog_receiver: rsyslogd $pid on 127.0.0.1 udp $udp, tcp $tcp, writing $dir/received.txt"
        exit 0
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
done
unavailable "rsyslogd did not start listening: $(tail -n 3 "$dir/rsyslogd.log" | tr '\n' ' ' | sed 's/ *$//')"
