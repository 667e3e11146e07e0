# Sourced by every script that starts uartflash-sim: the simulated product prints the path of
# its port (a pseudo-terminal) as the first line of its output.

# Prints the port named in the simulator's output file, waiting up to the given seconds (5 when
# omitted) for the simulator to start; fails, printing nothing, when it named none.
sim_port() {
    local output=$1 port=
    for _ in $(seq $((${2:-5} * 20))); do
        port=$(head -n 1 "$output" 2>/dev/null)
        if [ -n "$port" ]; then
            echo "$port"
            return 0
        fi
        sleep 0.05
    done
    return 1
}
