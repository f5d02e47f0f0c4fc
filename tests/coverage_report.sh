#!/bin/sh
# coverage_report.sh RCFILE LEAST: combines what the tests measured of the
# Python around the programs and prints it file by file, with the lines
# and branches missed, then the share of branches taken; fails where that
# share is below LEAST per cent.  Exits 77, which ctest counts as
# skipped, where python3-coverage is missing.
set -eu
rcfile=$1 least=$2
if ! command -v python3-coverage >/dev/null; then
  echo "python3-coverage not found (bash .ci/deps installs it): nothing measured"
  exit 77
fi
python3-coverage combine --rcfile="$rcfile" --keep >/dev/null
python3-coverage report --rcfile="$rcfile"
json=$(mktemp)
trap 'rm -f "$json"' EXIT
python3-coverage json --rcfile="$rcfile" -q -o "$json"
python3 - "$json" "$least" <<'PY'
import json, sys
totals = json.load(open(sys.argv[1]))["totals"]
taken, all_ = totals["covered_branches"], totals["num_branches"]
share = 100 * taken / all_
print(f"branches taken: {taken} of {all_}, {share:.1f} %")
sys.exit(f"fewer than {sys.argv[2]} %" if share < float(sys.argv[2]) else 0)
PY
