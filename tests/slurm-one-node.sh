#!/usr/bin/env bash
# slurm-one-node.sh start [MAX_ARRAY_SIZE] | stop
#
# A Slurm cluster of one node, this machine, for trying the cluster
# recipes and for the tests: munged, slurmctld and slurmd from Debian's
# munge and slurm-wlm, run as root without systemd and without accounting.
# Everything lives in one folder, $TAGJOIN_SLURM (default
# /tmp/tagjoin-slurm): the munge key and socket, slurm.conf, state, logs
# and process ids.  Nothing under /etc is touched, so Slurm's commands
# need SLURM_CONF=$TAGJOIN_SLURM/slurm.conf, which start prints.
#
# start stops what an earlier start left running, then starts afresh and
# waits until sinfo shows the node idle.  MAX_ARRAY_SIZE (default 1001,
# Slurm's own) bounds job arrays as a site's MaxArraySize does.  stop
# ends the daemons and says so only when none is left.  Both find them by
# their process ids, by the ports this cluster's slurmctld and slurmd
# listen on, and by the socket of its munged, so that daemons whose
# folder was removed are found too.
set -euo pipefail

dir=${TAGJOIN_SLURM:-/tmp/tagjoin-slurm}
conf=$dir/slurm.conf
export SLURM_CONF=$conf
ctld_port=16817
slurmd_port=16818

die() {
  echo "slurm-one-node: $*" >&2
  exit 1
}

# The process ids of this cluster's daemons that are running.
daemons() {
  local pid
  {
    cat "$dir/slurmd.pid" "$dir/slurmctld.pid" "$dir/munged.pid" 2>/dev/null || true
    ss -Htlnp "( sport = :$ctld_port or sport = :$slurmd_port )" |
      grep -o 'pid=[0-9]*' | cut -d= -f2
    pgrep -f -- "--socket=$dir/munge.socket" || true
  } | sort -un | while read -r pid; do
    # A stale pid file may name a process that is no daemon of ours, and
    # a daemon that has ended may wait as a zombie for a parent that
    # never reaps it.
    read -r _ comm state _ <"/proc/$pid/stat" 2>/dev/null || continue
    case $comm:$state in
    "(slurmctld)":[^Z] | "(slurmd)":[^Z] | "(munged)":[^Z]) echo "$pid" ;;
    esac
  done
}

stop() {
  local pids
  pids=$(daemons)
  if [[ -n $pids ]]; then
    # shellcheck disable=SC2086 # a word a process id
    kill $pids 2>/dev/null || true
    for _ in $(seq 100); do
      [[ -z $(daemons) ]] && break
      sleep 0.1
    done
    pids=$(daemons)
    # shellcheck disable=SC2086
    [[ -z $pids ]] || kill -9 $pids 2>/dev/null || true
    sleep 0.2
  fi
  rm -f "$dir/slurmd.pid" "$dir/slurmctld.pid" "$dir/munged.pid"
  pids=$(daemons)
  if [[ -n $pids ]]; then
    ps -o pid=,args= -p "${pids//$'\n'/,}" >&2 || true
    die "still running after stop: the processes above"
  fi
}

write_conf() {
  local max_array=$1 node
  # This machine as slurmd sees it: CPUs, sockets, cores, memory.
  node=$(slurmd -C | head -n 1)
  node=${node/NodeName=+([^ ])/NodeName=localhost}
  cat >"$conf" <<END
ClusterName=tagjoin
SlurmctldHost=localhost(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
AuthInfo=socket=$dir/munge.socket
CredType=cred/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
MpiDefault=none
MaxArraySize=$max_array
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=main Nodes=ALL Default=YES MaxTime=INFINITE State=UP
END
}

start() {
  local max_array=${1:-1001}
  [[ $(id -u) -eq 0 ]] || die "run as root: slurmd starts jobs as their users"
  for tool in munged mungekey slurmctld slurmd sinfo; do
    command -v "$tool" >/dev/null ||
      die "$tool not found (apt-get install munge slurm-wlm, or bash .ci/deps)"
  done
  stop
  mkdir -p "$dir/state" "$dir/spool"
  chmod 700 "$dir"
  [[ -s $dir/munge.key ]] || mungekey --create --keyfile="$dir/munge.key"
  chmod 400 "$dir/munge.key"
  munged --force --key-file="$dir/munge.key" --socket="$dir/munge.socket" \
    --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" \
    --seed-file="$dir/munged.seed"
  write_conf "$max_array"
  slurmctld -i
  slurmd -N localhost
  for _ in $(seq 300); do
    if [[ $(sinfo -h -o %T 2>/dev/null) == idle ]]; then
      echo "one-node Slurm up; for its commands: export SLURM_CONF=$conf"
      return 0
    fi
    sleep 0.2
  done
  tail -n 5 "$dir/slurmctld.log" "$dir/slurmd.log" >&2 || true
  stop
  die "the node did not come up idle within a minute"
}

shopt -s extglob
case ${1:-} in
start) start "${2:-}" ;;
stop)
  stop
  echo "one-node Slurm stopped: no slurmctld, slurmd or munged of it runs"
  ;;
*) die "usage: slurm-one-node.sh start [MAX_ARRAY_SIZE] | stop" ;;
esac
