# Serves pseudo-terminals over the loopback with a real ser2net, for the tests and the benchmark.
# Source it, then:
#   ser2net_start WORK_DIR DEVICE...   starts ser2net with three accepters per device: an RFC 2217
#                                      one (rfc2217_ports[i]), a raw TCP one (raw_ports[i]) and a
#                                      plain Telnet one without RFC 2217 (telnet_ports[i])
#   ser2net_stop                       stops it by its PID
# Ports are drawn at random and drawn again when one is taken (other runs may hold theirs).
# chardelay is off: by default ser2net holds received bytes back for up to 20 ms before sending
# them on, which would stretch every reply.

ser2net_pid=
rfc2217_ports=()
raw_ports=()
telnet_ports=()

# One connection of the YAML file: $1 its name, $2 the accepter, $3 the device.
_ser2net_connection() {
    printf 'connection: &%s\n    accepter: %s\n    options:\n      chardelay: false\n' "$1" "$2"
    printf '    connector: serialdev,%s,115200n81,local\n' "$3"
}

# True once every port listens, owned by ser2net_pid; false if ser2net failed to take one.
_ser2net_listening() {
    local log=$1
    shift
    for _ in $(seq 100); do
        grep -q 'Unable to startup' "$log" && return 1
        kill -0 "$ser2net_pid" 2>/dev/null || return 1
        local missing=0
        for port in "$@"; do
            ss -Hltnp "sport = :$port" | grep -q "pid=$ser2net_pid," || missing=1
        done
        [ $missing -eq 0 ] && return 0
        sleep 0.05
    done
    return 1
}

ser2net_start() {
    local work=$1
    shift
    local yaml=$work/ser2net.yaml log=$work/ser2net.log
    for _ in $(seq 5); do
        local base=$((20000 + RANDOM % 20000)) i=0 ports=()
        rfc2217_ports=() raw_ports=() telnet_ports=()
        printf '%%YAML 1.1\n---\n' >"$yaml"
        for device in "$@"; do
            rfc2217_ports+=($((base + 3 * i))) raw_ports+=($((base + 3 * i + 1)))
            telnet_ports+=($((base + 3 * i + 2)))
            _ser2net_connection "rfc$i" "telnet(rfc2217),tcp,127.0.0.1,${rfc2217_ports[i]}" \
                "$device" >>"$yaml"
            _ser2net_connection "raw$i" "tcp,127.0.0.1,${raw_ports[i]}" "$device" >>"$yaml"
            _ser2net_connection "telnet$i" "telnet,tcp,127.0.0.1,${telnet_ports[i]}" \
                "$device" >>"$yaml"
            i=$((i + 1))
        done
        ports=("${rfc2217_ports[@]}" "${raw_ports[@]}" "${telnet_ports[@]}")
        # -d: in the foreground, its log on standard output; -u: no UUCP lock files.
        ser2net -d -u -c "$yaml" >"$log" 2>&1 &
        ser2net_pid=$!
        _ser2net_listening "$log" "${ports[@]}" && return 0
        ser2net_stop
    done
    echo "ser2net did not start; its log:" >&2
    cat "$log" >&2
    return 1
}

ser2net_stop() {
    if [ -n "$ser2net_pid" ]; then
        kill -TERM "$ser2net_pid" 2>/dev/null || true
        wait "$ser2net_pid" 2>/dev/null || true
        ser2net_pid=
    fi
}

# Starts ser2net again with the file and the ports of the last start, as a server that restarts.
ser2net_restart() {
    local work=$1
    ser2net_stop
    ser2net -d -u -c "$work/ser2net.yaml" >>"$work/ser2net.log" 2>&1 &
    ser2net_pid=$!
    _ser2net_listening "$work/ser2net.log" "${rfc2217_ports[@]}" "${raw_ports[@]}" \
        "${telnet_ports[@]}"
}
