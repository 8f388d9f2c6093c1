#!/usr/bin/env python3
"""What a user saw, from the test notification server's log (gt-notify-sink --log): one line per change
from line FROM on, "show TITLE | BODY", "update OLD -> TITLE | BODY" (replaced in place) or "close TITLE".
Notifications titled "mark · …" are the test's own markers and are left out. Paths under HOME read "~".

Usage: seen.py LOG FROM HOME
"""
import json
import sys

log, start, home = sys.argv[1], int(sys.argv[2]), sys.argv[3]
titles, lines = {}, []
with open(log, encoding="utf-8") as f:
    for n, line in enumerate(f):
        rec = json.loads(line)
        if "closed" in rec:
            change = "close " + titles.pop(rec["closed"], "#%d" % rec["closed"])
        else:
            old = titles.get(rec["id"]) if rec["replaces_id"] == rec["id"] else None
            titles[rec["id"]] = rec["summary"]
            shown = rec["summary"] + " | " + rec["body"].replace(home, "~")
            change = ("update %s -> %s" % (old, shown)) if old else "show " + shown
        if n >= start and not change.split(" ", 1)[1].startswith("mark · "):
            lines.append(change)
print("\n".join(lines))
