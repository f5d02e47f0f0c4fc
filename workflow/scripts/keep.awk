# The lines of a whole dump that go to tagjoin, for the workflow's options
# (awk -v NAME=1): with prefilter, only lines that match the regular
# expression tags (-v tags=..., which join.py passes); with
# drop_incomplete, no record (an rs line and what follows up to the next
# one) that lacks a CTG line, their count going to standard error; with
# numbered, each line kept is preceded by its number in the input and a
# tab, so that a line tagjoin names can be found in the dump.  Run with
# LC_ALL=C, so that every byte is a character.

function keep(line) {
	if (numbered)
		line = NR "\t" line
	if (holding)
		held[++n] = line
	else
		print line
}

prefilter && $0 !~ tags { next }

# A record's lines are held until its first CTG line shows it complete.
drop_incomplete && /^rs/ {
	if (holding)
		dropped++
	holding = 1
	n = 0
}

{ keep($0) }

holding && /^CTG/ {
	for (i = 1; i <= n; i++)
		print held[i]
	holding = 0
}

END {
	if (holding)
		dropped++
	if (drop_incomplete)
		printf "records without a CTG line dropped: %d\n", dropped > "/dev/stderr"
}
