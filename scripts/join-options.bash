# Sourced by join-files, join-ssh and join-slurm, after their own leading
# arguments.  Moves the options of join-one that lead the positional
# parameters into the array options and the files into the array files;
# calls the script's usage on a wrong or missing one.  Every line of a
# file goes to tagjoin, as tagjoin alone would take it, unless --prefilter
# asks for the lines that begin with a tag only; join-one takes the last
# of the two.
#
# Each FILE is joined into FILE less a final .gz, with .joined.  Files
# whose names end in .joined or .partial, what an earlier run made or
# left, are skipped with a word, so that running a script again on
# dumps/* does what the first run did; two files that would be joined
# into one output are refused, both named, before any work, with status
# 2.  The files are also written, each ended by a NUL, to the file list.
# shellcheck shell=bash disable=SC2034 # options, files and list are the sourcing script's
script=${0##*/}
options=(--no-prefilter)
while (($#)); do
  case $1 in
  --prefilter | --no-prefilter | --drop-incomplete) options+=("$1"); shift ;;
  --tagjoin | --tagpick) (($# >= 2)) || usage; options+=("$1" "$2"); shift 2 ;;
  --) shift; break ;;
  -*) usage ;;
  *) break ;;
  esac
done
(($#)) || usage

files=()
declare -A file_joined_into=()
for file; do
  case $file in
  *.joined | *.partial)
    printf '%s: skipped, as an earlier run made it: %s\n' "$script" "$file" >&2
    continue
    ;;
  esac
  files+=("$file")
done
if ((${#files[@]} == 0)); then
  printf '%s: no file to join\n' "$script" >&2
  exit 0
fi
# Outputs compared as paths, so that d/x.txt and ./d/x.txt.gz clash too.
mapfile -d '' outputs < <(for file in "${files[@]}"; do
  printf '%s\0' "${file%.gz}.joined"
done | xargs -0 realpath -m -z --)
for i in "${!files[@]}"; do
  other=${file_joined_into[${outputs[i]}]-}
  if [[ -n $other ]]; then
    printf '%s: %s and %s would both be joined into %s; nothing joined\n' \
      "$script" "$other" "${files[i]}" "${files[i]%.gz}.joined" >&2
    exit 2
  fi
  file_joined_into[${outputs[i]}]=${files[i]}
done

list=$(mktemp "${TMPDIR:-/tmp}/$script.XXXXXX")
trap 'rm -f "$list"' EXIT
printf '%s\0' "${files[@]}" >"$list"

# join_all COMMAND...: runs the command, which joins the files of the
# list, in a session of its own, and waits for it.  SIGTERM, SIGINT or
# SIGHUP to this script ends the command and every process it started,
# removes each .partial output they left, names each file not joined by
# this run, and exits with 128 and the signal's number.  Returns the
# command's status.
join_all() {
  local started status=0
  started=$(mktemp "${TMPDIR:-/tmp}/$script.XXXXXX")
  setsid "$@" <"$list" &
  joining=$!
  for signal in HUP INT TERM; do
    # shellcheck disable=SC2064 # the signal's name now, the rest when it comes
    trap "stop_joining $signal '$started'" "$signal"
  done
  wait "$joining" || status=$?
  trap - HUP INT TERM
  rm -f "$started"
  return "$status"
}

# stop_joining SIGNAL STARTED: what join_all does on a signal, STARTED
# being a file made when the run started, older than each output it made.
stop_joining() {
  local signal=$1 started=$2 number output
  trap '' HUP INT TERM
  number=$(kill -l "$signal")
  # The command first, which may end its jobs itself, then whatever is
  # left of its session.
  kill -TERM "$joining" 2>/dev/null || true
  for _ in $(seq 20); do
    kill -0 "$joining" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$joining" 2>/dev/null || true
  wait "$joining" 2>/dev/null || true
  for file in "${files[@]}"; do
    output=${file%.gz}.joined
    rm -f -- "$output.partial"
    [[ $output -nt $started ]] ||
      printf '%s: not joined, as stopped by SIG%s: %s\n' "$script" "$signal" "$file" >&2
  done
  rm -f "$started" "$list"
  exit $((128 + number))
}
