# shellcheck shell=bash
# Sourced by the scripts and test scripts that drive services in a Wine prefix: a bounded poll,
# and a service's state as `sc query` reports it. Nothing in Wine signals the moments these
# scripts wait for (a service reaching a state, a port listening), so they poll, each wait bounded.
#   source "$root/scripts/lib/wine-service.sh"

# Polls COMMAND until it succeeds, at most SECONDS.
wait_until() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# The state of service NAME in the prefix of WINEPREFIX, as sc prints it (RUNNING, STOPPED,
# START_PENDING, STOP_PENDING, ...), or ABSENT when sc cannot query it (not installed). sc's
# whole answer is left in FILE, with the exit codes a caller may look at.
sc_state() { # NAME FILE
    wine sc query "$1" >"$2" 2>&1 </dev/null || { echo ABSENT; return 0; }
    sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$2" | tr -d '\r'
}
