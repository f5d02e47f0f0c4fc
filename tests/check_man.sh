#!/bin/sh
# check_man.sh PAGE SOURCE: the page renders with every groff warning on and
# none given, and names each message that SOURCE writes.
page=$1 source=$2
warnings=$(groff -man -ww -z "$page" 2>&1) || { echo "groff failed"; exit 1; }
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
status=0
# The fixed parts of the messages, as the program holds them.
for message in 'input line' 'is too long' 'expected at beginning of input line' \
  'error reading input:' 'error writing output:'; do
  grep -qF "$message" "$source" || { echo "not in the program: $message"; status=1; }
  grep -qF "$message" "$page" || { echo "not in the man page: $message"; status=1; }
done
for tag in rs SNP VAL CTG; do
  grep -qF "\\(dq$tag\\(dq expected at beginning of input line" "$page" ||
    { echo "no DIAGNOSTICS entry for $tag"; status=1; }
done
exit $status
