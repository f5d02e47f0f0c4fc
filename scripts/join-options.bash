# Functions shared by the shell scripts here: sourcing this file
# defines them and does nothing else.  Each takes what it works on as
# arguments, an array by its name.
# shellcheck shell=bash

# usage: the calling script's usage line, the second line of its header;
# exits 2.
usage() {
  sed -n 2p "$0" | sed 's/^# /usage: /' >&2
  exit 2
}

# check_count VALUE: usage unless VALUE is a whole number from 1 up.
check_count() {
  [[ $1 =~ ^[1-9][0-9]*$ ]] || usage
}

# split_arguments OPTIONS FILES ARG...: the options of join-one that lead
# the arguments into the array named OPTIONS, the files after them into
# the array named FILES.  usage on an option join-one does not take, one
# without its value, or no file.
split_arguments() {
  local -n options_into=$1 files_into=$2
  shift 2
  options_into=() files_into=()
  while (($#)); do
    case $1 in
    # made by scripts/make-interface from join-one --describe: edit there.
    --prefilter | --no-prefilter | --drop-incomplete | --no-drop-incomplete) options_into+=("$1"); shift ;;
    --tagjoin | --tagpick) (($# >= 2)) || usage; options_into+=("$1" "$2"); shift 2 ;;
    # end of what scripts/make-interface makes.
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
    esac
  done
  (($#)) || usage
  files_into+=("$@")
}

# output_of VAR FILE: sets VAR to the output that FILE is joined into,
# as join-one names it.
output_of() {
  # made by scripts/make-interface from join-one --describe: edit there.
  printf -v "$1" '%s.joined' "${2%.gz}"
  # end of what scripts/make-interface makes.
}

# skip_earlier_outputs FILES: removes from the array named FILES, with a
# word each, the files whose names end as the outputs, temporary files
# and locks of join-one do, what an earlier run made or left, so that
# running a script again on dumps/* does what the first run did.
# Returns 1, with a word, when no file is left.
skip_earlier_outputs() {
  local -n files_in=$1
  local file kept=()
  for file in "${files_in[@]}"; do
    case $file in
    # made by scripts/make-interface from join-one --describe: edit there.
    *.joined | *.partial | *.lock)
    # end of what scripts/make-interface makes.
      printf '%s: skipped, as an earlier run made it: %s\n' "${0##*/}" "$file" >&2 ;;
    *) kept+=("$file") ;;
    esac
  done
  files_in=("${kept[@]}")
  ((${#kept[@]})) || { printf '%s: no file to join\n' "${0##*/}" >&2; return 1; }
}

# refuse_clashes FILE...: returns 1, naming both, when two files would be
# joined into one output.  Outputs are compared as paths, so that d/x.txt
# and ./d/x.txt.gz clash too.
refuse_clashes() {
  local files=("$@") outputs i other output
  local -A joined_into=()
  mapfile -d '' outputs < <(for file; do output_of file "$file"; printf '%s\0' "$file"
    done | xargs -0 realpath -m -z --)
  for i in "${!files[@]}"; do
    other=${joined_into[${outputs[i]}]-}
    if [[ -n $other ]]; then
      output_of output "${files[i]}"
      printf '%s: %s and %s would both be joined into %s; nothing joined\n' \
        "${0##*/}" "$other" "${files[i]}" "$output" >&2
      return 1
    fi
    joined_into[${outputs[i]}]=${files[i]}
  done
}

# write_list FILE...: writes the files, each ended by a NUL, to a new
# temporary file, made before any job and so older than each output, and
# prints its name.
write_list() {
  local list folder=${TMPDIR:-/tmp}
  if ! list=$(mktemp "$folder/${0##*/}.XXXXXX" 2>&1); then
    printf '%s: cannot write the list of files in TMPDIR, %s: %s\n' "${0##*/}" "$folder" \
      "${list##*: }" >&2
    return 1
  fi
  printf '%s\0' "$@" >"$list" || return 1
  echo "$list"
}

# stop_on_signals SINCE FILES SAY ENDING...: from now on, SIGTERM, SIGINT
# or SIGHUP runs stop_joining with the signal and these arguments.
stop_on_signals() {
  local signal
  for signal in HUP INT TERM; do
    # shellcheck disable=SC2064 # the arguments as they are now
    trap "$(printf '%q ' stop_joining "$signal" "$@")" "$signal"
  done
}

# stop_joining SIGNAL SINCE FILES SAY ENDING...: runs ENDING with the
# signal's name after its arguments, which ends the jobs (each job
# removes what it made); then says SAY (SIGNAL in it replaced by the
# signal's name) with each file of the array named FILES whose output is
# not newer than the file SINCE, and exits with 128 and the signal's
# number.
stop_joining() {
  local signal=$1 since=$2 say=$4 file output
  local -n files_of=$3
  shift 4
  trap '' HUP INT TERM
  "$@" "$signal"
  for file in "${files_of[@]}"; do
    output_of output "$file"
    [[ $output -nt $since ]] ||
      printf '%s: %s\n' "${say//SIGNAL/SIG$signal}" "$file" >&2
  done
  exit $((128 + $(kill -l "$signal")))
}

# end_session PID: ends the session of the command PID, its jobs given
# a moment to clean up after themselves, then whatever is left of it.
end_session() {
  kill -TERM -- "-$1" 2>/dev/null || true
  for _ in $(seq 20); do
    kill -0 -- "-$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
