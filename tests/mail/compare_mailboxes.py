#!/usr/bin/python3
"""Read a Babyl file and a Unix mailbox with Python's own mailbox module and
check that they hold the same messages: visible headers, labels and bodies.

Usage: compare_mailboxes.py BABYL MBOX
Prints "same N messages" and exits 0, or names each difference and exits 1.
"""
import mailbox
import re
import sys


def text(value):
    return value.decode() if isinstance(value, bytes) else value


def body(msg):
    # Both readers drop or keep the newline before the next message's
    # separator differently; the lines themselves must agree.
    return msg.get_payload().rstrip("\n")


def unquote(text):
    # The mailbox carries every line that begins with "From ", after any
    # number of '>', with one '>' more.
    return re.sub(r"(?m)^>(>*From )", r"\1", text)


def main():
    babyl = mailbox.Babyl(sys.argv[1], create=False)
    mbox = mailbox.mbox(sys.argv[2], create=False)
    wanted = [babyl.get_message(k) for k in babyl.keys()]
    got = [mbox.get_message(k) for k in mbox.keys()]
    problems = []
    if len(wanted) != len(got):
        problems.append("%d messages in, %d out" % (len(wanted), len(got)))
    for i, (b, m) in enumerate(zip(wanted, got)):
        visible = [(k, v) for k, v in b.get_visible().items()]
        headers = [(k, v) for k, v in m.items() if k != "X-Babyl-Labels"]
        if visible != headers:
            problems.append("message %d headers: %r != %r" % (i, visible, headers))
        labels = [text(l) for l in b.get_labels()]
        if "X-Babyl-Labels" not in m:
            problems.append("message %d has no labels line" % i)
        out_labels = [l for l in (m.get("X-Babyl-Labels") or "").split(", ") if l]
        if labels != out_labels:
            problems.append("message %d labels: %r != %r" % (i, labels, out_labels))
        if body(b) != unquote(body(m)):
            problems.append("message %d body: %r != %r" % (i, body(b), unquote(body(m))))
    for p in problems:
        print(p)
    if problems or not wanted:
        return 1
    print("same %d messages" % len(wanted))
    return 0


if __name__ == "__main__":
    sys.exit(main())
