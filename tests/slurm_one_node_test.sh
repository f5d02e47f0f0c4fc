#!/usr/bin/env bash
# slurm_one_node_test.sh CLUSTER: the one-node Slurm script comes up, comes
# up again over daemons whose folder was removed, and after stop leaves no
# daemon of it running: nothing listening on its ports, no munged on its
# socket, none of the processes it started.  Exits 77, which ctest counts
# as skipped, without root or Slurm.
set -euo pipefail
cluster=$1

if [[ $(id -u) -ne 0 ]] || ! command -v slurmctld munged >/dev/null; then
  echo "needs root, slurm-wlm and munge (bash .ci/deps installs them)"
  exit 77
fi
tmp=$(mktemp -d)
export TAGJOIN_SLURM=$tmp/slurm SLURM_CONF=$tmp/slurm/slurm.conf
trap 'bash "$cluster" stop >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
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
  ss -Htlnp '( sport = :16817 or sport = :16818 )'
  pgrep -a -f -- "--socket=$TAGJOIN_SLURM/munge.socket" || true
}

bash "$cluster" start
[[ $(sinfo -h -o %T) == idle ]] || fail "the node is not idle after start"
first=$(started)

# An earlier run whose folder is gone: its daemons still hold the ports.
rm -rf "$TAGJOIN_SLURM"
if bash "$cluster" start; then
  [[ $(sinfo -h -o %T) == idle ]] || fail "the node is not idle after a start over leftovers"
else
  fail "start over the daemons of a removed folder"
fi
for pid in $first; do
  ! alive "$pid" || fail "a daemon of the removed folder still runs: $(ps -o args= -p "$pid")"
done
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
echo "slurm one node: start, start over leftovers, stop: all passed"
