#!/usr/bin/env python3
"""eegfetch's argument checks are listed twice: run in eegfetch/reader_call.cpp, and listed in
docs/eegfetch.md ("Messages", the numbered list) for readers. The code is the source. This takes
the messages from the code in the order the checks run, takes every message from the list, and
fails on a message missing from either side or out of order.

The checks raise messages by name (Msg::name) from the table in eegfetch/messages.h. They run in
the order of their text, starting from validateCall; a call of another function of the file is
followed into it. A "%s" in a message is the literal right after its name (fail(Msg::fieldNotSet,
"HDR.fs")), or else the one literal argument of the call of the helper it is in
(checks.integerScalar(..., "HDR.fs", ...)). In the list, a message is a `code span` holding a
blank. A message repeated later (a second check with the same text) counts once, at its first
place, on both sides."""
import re
import sys

KEYWORDS = {"if", "for", "while", "switch", "catch", "return", "sizeof", "defined"}


def message_table(path):
    text = open(path, encoding="utf-8").read()
    return {m.group(1): bytes(m.group(2), "utf-8").decode("unicode_escape")
            for m in re.finditer(r'X\((\w+),\s*"((?:[^"\\]|\\.)*)"\)', text)}


def code_messages(path, table):
    text = open(path, encoding="utf-8").read()
    literals = []

    def keep(m):  # comments go, literals become "@n" so that parentheses in them do not count
        if m.group(0).startswith("/"):
            return " "
        literals.append(bytes(m.group(0)[1:-1], "utf-8").decode("unicode_escape"))
        return '"@%d"' % (len(literals) - 1)

    text = re.sub(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'', keep, text, flags=re.S)
    text = re.sub(r"(?m)^\s*#[^\n]*", "", text)
    text = re.sub(r'"@(\d+)"\s*"@(\d+)"', lambda m: join(literals, m), text)

    def close(i, open_c, close_c):  # index just past the bracket matching text[i]
        depth = 0
        for j in range(i, len(text)):
            depth += {open_c: 1, close_c: -1}.get(text[j], 0)
            if depth == 0:
                return j + 1
        raise ValueError("unbalanced %s in %s" % (open_c, path))

    bodies, calls = {}, []  # function name -> body; every call as (start, name, argument text)
    for m in re.finditer(r"\b(\w+)\s*\(", text):
        end = close(m.end() - 1, "(", ")")
        after = re.match(r"\s*(const\s*)?\{", text[end:])
        if m.group(1) in KEYWORDS:
            continue
        if after:
            start = end + after.end() - 1
            bodies.setdefault(m.group(1), (start, close(start, "{", "}")))
        else:
            calls.append((m.start(), m.group(1), text[m.end():end - 1]))

    def walk(name, subst, seen):
        start, end = bodies[name]
        events = []
        for m in re.finditer(r'Msg::(\w+)(\s*,\s*"@(\d+)")?', text[start:end]):
            own = literals[int(m.group(3))] if m.group(3) else None
            events.append((start + m.start(), ("msg", table[m.group(1)], own)))
        for pos, callee, args in calls:
            if start < pos < end and callee in bodies and callee not in seen:
                top = re.sub(r"\([^()]*\)", "", args)  # literals in nested calls are not arguments
                given = [literals[int(i)] for i in re.findall(r'"@(\d+)"', top)]
                events.append((pos, ("call", callee, given[0] if len(given) == 1 else subst)))
        out = []
        for _, event in sorted(events):
            if event[0] == "msg":
                field = event[2] or subst
                out.append(event[1].replace("%s", field) if field else event[1])
            else:
                out += walk(event[1], event[2], seen | {name})
        return out

    return walk("validateCall", None, set())


def join(literals, m):
    literals.append(literals[int(m.group(1))] + literals[int(m.group(2))])
    return '"@%d"' % (len(literals) - 1)


def doc_messages(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    start = lines.index("## Messages")
    items, inside = [], False
    for line in lines[start + 1:]:
        if re.match(r"\d+\. ", line):
            inside = True
        elif inside and not line.startswith("   "):
            break
        if inside:
            items.append(line)
    spans = re.findall(r"`([^`]*)`", " ".join(items))
    return [s for s in spans if " " in s.strip()]


def once(msgs):
    seen, out = set(), []
    for m in msgs:
        m = re.sub(r"\s+", " ", m)  # a list line may break a message; a leading blank is kept
        if m not in seen:
            seen.add(m)
            out.append(m)
    return out


def main(source):
    table = message_table(source + "/eegfetch/messages.h")
    code = once(code_messages(source + "/eegfetch/reader_call.cpp", table))
    docs = once(doc_messages(source + "/docs/eegfetch.md"))
    if len(code) < 50:
        sys.exit("only %d messages found in reader_call.cpp" % len(code))
    expected = code
    if docs == expected:
        print("docs/eegfetch.md lists the %d messages of reader_call.cpp in check order" % len(code))
        return
    for i, (c, d) in enumerate(zip(expected, docs)):
        if c != d:
            sys.exit("message %d differs:\n  code: %s\n  docs: %s" % (i + 1, c, d))
    longer, name = (expected, "code") if len(expected) > len(docs) else (docs, "docs")
    sys.exit("only the %s has: %s" % (name, "; ".join(longer[min(len(expected), len(docs)):])))


if __name__ == "__main__":
    main(sys.argv[1])
