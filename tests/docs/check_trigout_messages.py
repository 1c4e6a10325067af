#!/usr/bin/env python3
"""trigout's messages live in one table, trigout/messages.cpp, in check order; docs/trigout.md lists
them for readers ("Messages"). This fails when a message of the table is missing from the list (as
written there, `\\n` included) or the list has them in another order. Code spans of the list that
are no message of the table (an export's name, an example) are passed over."""
import re
import sys

root = sys.argv[1]
table = open(root + "/trigout/messages.cpp", encoding="utf-8").read()
messages = [m.group(1) for m in re.finditer(r'\{Message::\w+,\s*"((?:[^"\\]|\\.)*)"\}', table)]
doc = open(root + "/docs/trigout.md", encoding="utf-8").read()
section = doc[doc.index("## Messages"):]
section = section[:section.index("\n## ", 1)]
# A span may run over a line break in the list: the break reads as a blank.
spans = [re.sub(r"\s*\n\s*", " ", s) for s in re.findall(r"`([^`]+)`", section, flags=re.S)]
listed = []
for s in spans:
    if s in messages and s not in listed:
        listed.append(s)
if not messages:
    sys.exit("check_trigout_messages: no messages found in trigout/messages.cpp")
if listed != messages:
    missing = [m for m in messages if m not in listed]
    print("docs/trigout.md lists trigout's messages otherwise than trigout/messages.cpp")
    for m in missing:
        print("  missing: " + m)
    if not missing:
        print("  in the list's order: " + " | ".join(listed))
    sys.exit(1)
print("docs/trigout.md lists all %d messages of trigout/messages.cpp in order" % len(messages))
