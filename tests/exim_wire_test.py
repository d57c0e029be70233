#!/usr/bin/env python3
"""The Exim snippets of docs/exim.md at the wire level: the request lines
their ${readsocket} expansions send, answered by a real daemon, and the
regular expressions of the snippets (taken from the document itself)
applied to the replies.

    exim_wire_test.py PATH-TO-SRS PATH-TO-exim.md
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time


def ask(path, request):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(path)
        s.sendall(request.encode())
        s.shutdown(socket.SHUT_WR)  # as ${readsocket} does by default
        reply = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                return reply.decode()
            reply += chunk


def main():
    srs, document = sys.argv[1], sys.argv[2]
    text = open(document, encoding="utf-8").read()
    # Exim's \N...\N: the text between is taken as it stands.
    expressions = re.findall(r"\\N(.*?)\\N", text)
    local_part, reverse_reply, forward_reply = expressions
    failures = []

    def check(what, ok):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    with tempfile.TemporaryDirectory() as tmp:
        sock = os.path.join(tmp, "srsd")
        pid_file = os.path.join(tmp, "pid")
        subprocess.run([srs, "-d", "--socket=" + sock, "--secret=exim-wire-secret",
                        "--pidfile=" + pid_file], check=True, stdout=subprocess.DEVNULL)
        pid = int(open(pid_file).read())
        try:
            reply = ask(sock, "forward alice@example.org srs.example.net\n")
            m = re.match(forward_reply, reply)
            check("forward reply taken by the transport's expression", m is not None)
            address = m.group(1) if m else ""
            check("result is an address of the SRS domain", address.endswith("@srs.example.net"))
            local = address.split("@")[0]
            check("router condition matches the SRS local part", re.match(local_part, local))
            check("router condition matches it lower-cased", re.match(local_part, local.lower()))
            check("router condition leaves other local parts",
                  not re.match(local_part, "alice") and not re.match(local_part, "srs2=x"))

            reply = ask(sock, "reverse " + address + "\n")
            m = re.match(reverse_reply, reply)
            check("reverse reply taken by the router's expression",
                  m is not None and m.group(1) == "alice@example.org")

            # A case-broken reverse: the warning line is dropped.
            for n in range(200):
                address = re.match(forward_reply, ask(
                    sock, "forward User%d@Example.ORG srs.example.net\n" % n)).group(1)
                hash_text = address[5:11]
                if hash_text != hash_text.lower():
                    break
            lowered = address.lower()
            reply = ask(sock, "reverse " + lowered + "\n")
            check("case-broken reverse has a warning line", "\nWARNING: Case broken" in reply)
            m = re.match(reverse_reply, reply)
            check("the router takes its first line only",
                  m is not None and m.group(1) == "user%d@example.org" % n)

            forged = address[:5] + ("A" if address[5] != "A" else "B") + address[6:]
            for request, what in [("reverse " + forged + "\n", "forged hash"),
                                  ("reverse alice@example.org\n", "no SRS address"),
                                  ("reverse SRS0=abc@srs.example.net\n", "bad syntax")]:
                reply = ask(sock, request)
                check("router refuses a %s (%s)" % (what, reply.strip()),
                      reply.startswith("ERROR") and re.match(reverse_reply, reply) is None)
            reply = ask(sock, "forward nobody srs.example.net\n")
            check("transport keeps the sender when forwarding fails",
                  reply.startswith("ERROR") and re.match(forward_reply, reply) is None)
        finally:
            os.kill(pid, signal.SIGTERM)
            for _ in range(200):
                if not os.path.exists(sock):
                    break
                time.sleep(0.01)
    print("exim-wire: %d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
