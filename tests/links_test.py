#!/usr/bin/env python3
"""links_test.py SOURCE: every relative link of README.md, config/README.md
and docs/*.md, [text](path) or ![alt](path), names a file or folder that
is in the repository; and no page exceeds what it may hold (README.md, the
front page, 150 lines)."""

import glob
import os
import re
import sys

SOURCE = sys.argv[1]
pages = [os.path.join(SOURCE, "README.md"), os.path.join(SOURCE, "config", "README.md")]
pages += sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md")))
broken, count = [], 0
for page in pages:
    with open(page) as f:
        text = f.read()
    # Links outside fenced blocks and code spans.
    text = re.sub(r"^```.*?^```", "", text, flags=re.S | re.M)
    text = re.sub(r"`[^`\n]*`", "", text)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target) or target.startswith("#"):
            continue
        count += 1
        path = os.path.normpath(os.path.join(os.path.dirname(page), target.split("#")[0]))
        if not os.path.exists(path):
            broken.append(f"{os.path.relpath(page, SOURCE)}: {target}")
with open(os.path.join(SOURCE, "README.md")) as f:
    lines = sum(1 for _ in f)
for b in broken:
    print("FAILED: broken link:", b)
if lines > 150:
    print(f"FAILED: README.md has {lines} lines, more than 150")
print(f"links: {count} links in {len(pages)} pages, {len(broken)} broken; README.md {lines} lines")
sys.exit(1 if broken or lines > 150 else 0)
