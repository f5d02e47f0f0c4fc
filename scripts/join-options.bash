# Sourced by join-files, join-ssh and join-slurm: moves the options of
# join-one that lead the positional parameters into the
# array options, leaving the files; calls the script's usage on a wrong
# or missing one.  Every line of a file goes to tagjoin, as tagjoin alone
# would take it, unless --prefilter asks for the lines that begin with a
# tag only; join-one takes the last of the two.
# shellcheck shell=bash disable=SC2034 # options is the sourcing script's
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
