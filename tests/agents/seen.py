#!/usr/bin/env python3
"""What a user saw in gt-notify-sink's log from line FROM on: "show TITLE | BODY", "update OLD -> TITLE | BODY"
or "close TITLE"; the test's own "mark · …" left out, paths under HOME as "~". Usage: seen.py LOG FROM HOME"""
import json, sys

log, start, home = sys.argv[1], int(sys.argv[2]), sys.argv[3]
titles = {}
for n, line in enumerate(open(log, encoding="utf-8")):
    if not line.endswith("\n"):
        break  # the sink is still writing it
    rec = json.loads(line)
    if "closed" in rec:
        change = "close " + titles.pop(rec["closed"], "?")
    else:
        old = titles.get(rec["id"]) if rec["replaces_id"] == rec["id"] else None
        titles[rec["id"]] = rec["summary"]
        shown = rec["summary"] + " | " + rec["body"].replace(home, "~")
        change = "update %s -> %s" % (old, shown) if old else "show " + shown
    if n >= start and not change.split(" ", 1)[1].startswith("mark · "):
        print(change)
