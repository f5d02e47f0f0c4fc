#!/usr/bin/env bash
# slurm_one_node_test.sh CLUSTER: the one-node Slurm script comes up on the
# ports its environment names, and again over its own daemons; refuses
# ports that others hold, leaving them be; names a daemon that dies while
# the node comes up, with its log; and after stop leaves no daemon of it
# running: nothing listening on its ports, no munged on its socket, none
# of the processes it started.
# Exits 77, which ctest counts as skipped, without root or Slurm.
set -euo pipefail
cluster=$1

if [[ $(id -u) -ne 0 ]] || ! command -v slurmctld munged >/dev/null; then
  echo "needs root, slurm-wlm and munge (bash .ci/deps installs them)"
  exit 77
fi
tmp=$(mktemp -d)
# Ports of its own, apart from the default ones, which a cluster in use
# may hold, and from those of another run of this test.
ctld_port=$((20000 + $$ % 6000 * 2)) slurmd_port=$((ctld_port + 1))
export TAGJOIN_SLURM=$tmp/slurm SLURM_CONF=$tmp/slurm/slurm.conf \
  TAGJOIN_SLURM_CTLD_PORT=$ctld_port TAGJOIN_SLURM_SLURMD_PORT=$slurmd_port
leftover=()
trap 'bash "$cluster" stop >/dev/null 2>&1 || true
  kill "${leftover[@]}" 2>/dev/null || true; rm -rf "$tmp"' EXIT
failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

# The daemons' process ids, each from where it says it is.
started() {
  cat "$TAGJOIN_SLURM"/{slurmctld,slurmd,munged}.pid
}
# Whether a process runs: a zombie has ended, though no parent reaped it.
alive() {
  [[ -e /proc/$1/stat && $(awk '{ print $3 }' "/proc/$1/stat") != Z ]]
}
# What runs of this cluster, found as a user would look.
running() {
  ss -Htlnp "( sport = :$ctld_port or sport = :$slurmd_port )"
  pgrep -a -f -- "--socket=$TAGJOIN_SLURM/munge.socket" || true
}

bash "$cluster" start
[[ $(sinfo -h -o %T) == idle ]] || fail "the node is not idle after start"
first=$(started)
for daemon in slurmctld:$ctld_port slurmd:$slurmd_port; do
  ss -Htlnp "( sport = :${daemon#*:} )" | grep -q "pid=$(<"$TAGJOIN_SLURM/${daemon%:*}.pid")," ||
    fail "${daemon%:*} is not on port ${daemon#*:}, as the environment says: $(running)"
done

# start again: its own daemons, still running, are stopped first.
bash "$cluster" start || fail "start over its own running daemons"
for pid in $first; do
  ! alive "$pid" || fail "a daemon of the first start still runs: $(ps -o args= -p "$pid")"
done

# An earlier run whose folder is gone holds the ports: refused, named
# and left running.
mapfile -t leftover < <(started)
rm -rf "$TAGJOIN_SLURM"
status=0
said=$(bash "$cluster" start 2>&1) || status=$?
[[ $status == 1 && $said == *"slurmctld, pid ${leftover[0]}"* ]] ||
  fail "start over the daemons of a removed folder is not refused, naming them: $status $said"
for pid in "${leftover[@]}"; do
  alive "$pid" || fail "start over the daemons of a removed folder ended $pid"
  kill "$pid" 2>/dev/null || true
  while alive "$pid"; do sleep 0.1; done
done

# Another program on slurmd's port alone: refused, named and left.
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); time.sleep(60)' \
  "$slurmd_port" &
listener=$!
until ss -Htln "( sport = :$slurmd_port )" | grep -q .; do sleep 0.1; done
status=0
said=$(bash "$cluster" start 2>&1) || status=$?
[[ $status == 1 && $said == *"port $slurmd_port: python3, pid $listener"* ]] ||
  fail "start beside another program on slurmd's port: $status $said"
alive "$listener" || fail "start ended the program on slurmd's port"
kill "$listener"
wait "$listener" 2>/dev/null || true

# A daemon that dies while the node comes up, here never idle to sinfo.
mkdir "$tmp/bin" && printf '#!/bin/sh\necho down\n' >"$tmp/bin/sinfo" && chmod +x "$tmp/bin/sinfo"
PATH=$tmp/bin:$PATH bash "$cluster" start 2>"$tmp/said" &
until pid=$(cat "$TAGJOIN_SLURM/slurmd.pid" 2>/dev/null) && alive "$pid"; do
  alive "$!" || break
  sleep 0.1
done
! alive "$pid" || kill -KILL "$pid"
status=0
wait "$!" || status=$?
said=$(<"$tmp/said")
[[ $status == 1 && $said == *"slurmd died"* && $said == *"$(tail -n 1 "$TAGJOIN_SLURM/slurmd.log")"* ]] ||
  fail "slurmd that died is not named with its log: status $status: $said"
[[ -z $(running) ]] || fail "running after slurmd died: $(running)"

bash "$cluster" start
second=$(started)
said=$(bash "$cluster" stop) || fail "stop exits non-zero"
[[ $said == *"stopped"* ]] || fail "stop does not say it stopped: $said"
left=$(running)
[[ -z $left ]] || fail "running after stop: $left"
for pid in $second; do
  ! alive "$pid" || fail "a daemon still runs after stop: $(ps -o args= -p "$pid")"
done
bash "$cluster" stop >/dev/null || fail "stop with nothing running exits non-zero"

if ((failed)); then
  exit 1
fi
echo "slurm one node: start, again, over others, a death, stop: all passed"
