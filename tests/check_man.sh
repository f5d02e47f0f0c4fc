#!/bin/sh
# check_man.sh PAGE SOURCE: the page renders with every groff warning on and
# none given, and its DIAGNOSTICS section has one entry, with a text, for
# each message that SOURCE writes.
page=$1 source=$2
warnings=$(groff -man -ww -z "$page" 2>&1) || { echo "groff failed"; exit 1; }
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
status=0
# The fixed parts of the messages, as the program holds them.
for part in 'input line ' ' is too long' '" expected at beginning of input line ' \
  'error reading input: ' 'error writing output: '; do
  grep -qF "$part" "$source" || { echo "not in the program: $part"; status=1; }
done
# The heads of the entries of DIAGNOSTICS as a reader sees them: a line
# indented as a section's text, right followed by its indented text.
heads=$(groff -man -Tascii -P-cbou "$page" | awk '
  /^[^ ]/ { diagnostics = $0 == "DIAGNOSTICS"; next }
  !diagnostics || /^$/ { head = ""; next }
  /^       [^ ]/ { head = substr($0, 8); next }
  /^              [^ ]/ && head != "" { print head; head = "" }')
for message in 'input line N is too long' \
  '"rs" expected at beginning of input line N' \
  '"SNP" expected at beginning of input line N' \
  '"VAL" expected at beginning of input line N' \
  '"CTG" expected at beginning of input line N' \
  'error reading input: reason' 'error writing output: reason'; do
  count=$(printf '%s\n' "$heads" | grep -cxF "$message")
  [ "$count" -eq 1 ] ||
    { echo "DIAGNOSTICS has $count entries for: $message"; status=1; }
done
exit $status
