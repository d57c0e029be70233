#!/usr/bin/env python3
"""The daemon's socketmap socket, as Postfix's own client (postmap -q)
and raw bytes see it. One daemon serves the socketmap socket and the line
protocol's socket at once. Expected addresses are computed here with
Python's hmac and base64, never with the library under test.

    socketmap_protocol_test.py PATH-TO-SRS

The postmap cases need Debian's postfix package; without it they are
skipped with a message (exit 77 when nothing else ran), except under CI
(CI=true), where a missing postmap fails.
"""
import base64
import hmac
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SECRET = "socketmap-secret"
SRS_DOMAIN = "srs.example"
failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  [" + str(detail) + "]"))
    if not ok:
        failures.append(what)


def stamp(days_ago=0):
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"
    day = int(time.time()) // 86400 - days_ago
    return alphabet[(day >> 5) & 31] + alphabet[day & 31]


def hash_text(data, secret=SECRET):
    digest = hmac.new(secret.encode(), data.lower().encode(), "sha1").digest()
    return base64.b64encode(digest).decode()[:6]


def srs0(local, domain, days_ago=0, secret=SECRET):
    ts = stamp(days_ago)
    return "SRS0=%s=%s=%s=%s" % (hash_text(ts + domain + local, secret), ts, domain, local)


def netstring(payload):
    data = payload.encode() if isinstance(payload, str) else payload
    return str(len(data)).encode() + b":" + data + b","


def read_netstrings(sock, count, timeout=5):
    """Reads `count` netstring replies (fewer if the daemon closes)."""
    sock.settimeout(timeout)
    data, replies = b"", []
    while len(replies) < count:
        while b":" in data:
            length, rest = data.split(b":", 1)
            n = int(length)
            if len(rest) < n + 1:
                break
            replies.append(rest[:n].decode(errors="replace"))
            data = rest[n + 1:]
            if len(replies) == count:
                return replies
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    return replies


def closed(sock, timeout=5):
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except (socket.timeout, ConnectionResetError):
        return False


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    return s


def ask_one(path, payload):
    with connect(path) as s:
        s.sendall(netstring(payload))
        replies = read_netstrings(s, 1)
        return replies[0] if replies else None


def postmap_cases(sm, conf):
    today = stamp()
    made = srs0("Alice", "Orig.Example") + "@" + SRS_DOMAIN
    quoted_made = '"%s"@%s' % (srs0("john doe", "orig.example"), SRS_DOMAIN)
    foreign = srs0("u", "first.example", secret="other") + "@hop1.example"
    f_local = foreign.split("@")[0]
    srs1 = "SRS1=%s=hop1.example=%s@%s" % (hash_text("hop1.example" + f_local[4:]),
                                           f_local[4:], SRS_DOMAIN)
    forged = made[:5] + ("A" if made[5] != "A" else "B") + made[6:]
    expired = srs0("alice", "orig.example", days_ago=40) + "@" + SRS_DOMAIN
    # Find a sender whose hash has a capital, so that lower-casing breaks it.
    for n in range(100):
        folded = srs0("user%d" % n, "orig.example") + "@" + SRS_DOMAIN
        if folded[5:11] != folded[5:11].lower():
            break
    long_local = "l" * 240  # 253 characters with "@orig.example": one too many
    cases = [
        # (map, key, expected output; None: not found)
        ("forward", "Alice@Orig.Example", made),
        ("forward", '"john doe"@orig.example', quoted_made),
        ("forward", foreign, srs1),
        ("forward", "bob@local.example", None),      # --exclude=local.example
        ("forward", "bob@a.b.corp.example", None),    # --exclude=.corp.example
        ("forward", "bob@corp.example", None),
        ("forward", "x@SRS.Example", None),           # the SRS domain itself
        ("forward", made, None),                      # its own result, looked up again
        ("forward", '""', None),                      # the null sender
        ("forward", "nobody", None),                  # no domain
        ("forward", '"a@b"@orig.example', None),      # no SRS address can carry it
        ("reverse", made, "Alice@Orig.Example"),
        ("reverse", made.lower(), "alice@orig.example"),  # case broken: no warning line
        ("reverse", folded.lower(), "user%d@orig.example" % n),
        ("reverse", quoted_made, '"john doe"@orig.example'),
        ("reverse", srs1, foreign),
        ("reverse", forged, None),
        ("reverse", expired, None),
        ("reverse", "postmaster@" + SRS_DOMAIN, None),
        ("reverse", made.replace(SRS_DOMAIN, "other.example"), None),
        ("reverse", "SRS0=abc@" + SRS_DOMAIN, None),
        ("reverse", '""', None),
    ]
    for name, key, expected in cases:
        done = subprocess.run(["postmap", "-c", conf, "-q", key, "socketmap:unix:%s:%s" % (sm, name)],
                              capture_output=True, text=True, timeout=30)
        got = done.stdout.strip() if done.returncode == 0 else None
        check("postmap %s %s" % (name, key[:60]), got == expected and done.returncode in (0, 1),
              "got %r (status %d, %s), expected %r" % (got, done.returncode, done.stderr.strip(), expected))
    # A rewrite error is PERM: postmap reports the library's message.
    done = subprocess.run(["postmap", "-c", conf, "-q", long_local + "@orig.example",
                           "socketmap:unix:%s:forward" % sm], capture_output=True, text=True)
    check("postmap forward of a too long address: an error with the library's message",
          done.returncode != 0 and "Address was too long" in done.stderr, done.stderr)
    # Many keys on one connection, as Postfix does.
    keys = "\n".join("k%d@orig.example" % i for i in range(50)) + "\n"
    done = subprocess.run(["postmap", "-c", conf, "-q", "-", "socketmap:unix:%s:forward" % sm],
                          input=keys, capture_output=True, text=True)
    lines = done.stdout.splitlines()
    check("postmap -q - answers 50 keys over its connection",
          len(lines) == 50 and lines[7] == "k7@orig.example\t" + srs0("k7", "orig.example") + "@" + SRS_DOMAIN,
          done.stdout[:200] + done.stderr)


def raw_cases(sm, line_socket):
    # Several requests on one connection, one after another and pipelined.
    with connect(sm) as s:
        answers = []
        for i in range(3):
            s.sendall(netstring("forward u%d@orig.example" % i))
            answers += read_netstrings(s, 1)
        s.sendall(b"".join(netstring("reverse %s@%s" % (srs0("p%d" % i, "orig.example"), SRS_DOMAIN))
                           for i in range(3)))
        answers += read_netstrings(s, 3)
        expected = ["OK %s@%s" % (srs0("u%d" % i, "orig.example"), SRS_DOMAIN) for i in range(3)]
        expected += ["OK p%d@orig.example" % i for i in range(3)]
        check("six requests on one connection, three of them in one write", answers == expected,
              answers)
        # The request split over several writes.
        request = netstring("forward slow@orig.example")
        for b in request:
            s.sendall(bytes([b]))
        check("a request that arrives byte by byte",
              read_netstrings(s, 1) == ["OK %s@%s" % (srs0("slow", "orig.example"), SRS_DOMAIN)])

    refusals = [
        (b"forward a@b,", "not a netstring"),
        (b"3:abcd,", "not a netstring"),
        (b":,", "not a netstring"),
        (b"10001:", "request too long"),
        (b"123456789:", "request too long"),
        (netstring("lookup a@b"), "unknown map"),
        (netstring("forward"), "malformed request"),
    ]
    for data, reason in refusals:
        with connect(sm) as s:
            s.sendall(data)
            replies = read_netstrings(s, 2)
            ok = (len(replies) == 1 and replies[0].startswith("PERM") and reason in replies[0])
            # After a malformed request the connection is closed; after a
            # refused map name the connection stays usable.
            if reason in ("unknown map", "malformed request"):
                s.sendall(netstring("forward again@orig.example"))
                ok = ok and read_netstrings(s, 1)[0].startswith("OK ")
            else:
                ok = ok and closed(s)
            check("refused: %r -> %s" % (data[:20], reason), ok, replies)

    # The longest request is read and answered; one byte more is refused
    # before its payload is even sent.
    key = "x" * (10000 - len("forward ") - len("@orig.example")) + "@orig.example"
    reply = ask_one(sm, "forward " + key)
    check("a request of exactly 10000 bytes is answered", reply is not None and reply.startswith("PERM "),
          reply)
    with connect(sm) as s:
        s.sendall(b"10001:")
        replies = read_netstrings(s, 1)
        check("a longer one is refused at its length", replies and "too long" in replies[0]
              and closed(s), replies)

    # The line protocol, unchanged, from the same daemon.
    with connect(line_socket) as s:
        s.sendall(b"reverse a@b\n")
        s.shutdown(socket.SHUT_WR)
        s.settimeout(5)
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    check("the line protocol's socket answers as before",
          data == b"ERROR: Could not validate address 'a@b' - Address is not a SRS address\n", data)

    # An idle connection is closed after the idle time (10 s).
    with connect(sm) as s:
        s.sendall(netstring("forward idle@orig.example"))
        read_netstrings(s, 1)
        began = time.time()
        gone = closed(s, timeout=15)
        waited = time.time() - began
        check("an idle connection is closed after 10 s", gone and 9 <= waited <= 13, waited)


def main():
    srs = os.path.abspath(sys.argv[1])
    have_postmap = shutil.which("postmap") is not None
    with tempfile.TemporaryDirectory() as tmp:
        sm = os.path.join(tmp, "socketmap")
        line_socket = os.path.join(tmp, "line")
        pid_file = os.path.join(tmp, "pid")
        with tempfile.TemporaryFile("w+") as out:
            subprocess.run([srs, "-d", "--socketmap=" + sm, "--socket=" + line_socket,
                            "--alias=" + SRS_DOMAIN, "--secret=" + SECRET,
                            "--exclude=local.example", "--exclude=.corp.example",
                            "--pidfile=" + pid_file], stdout=out, stderr=subprocess.STDOUT, check=True)
        pid = int(open(pid_file).read())
        try:
            if have_postmap:
                conf = os.path.join(tmp, "postfix")
                os.mkdir(conf)
                open(os.path.join(conf, "main.cf"), "w").close()
                postmap_cases(sm, conf)
            elif os.environ.get("CI") == "true":
                check("postmap is installed (Debian package: postfix)", False)
            else:
                print("skip postmap cases: postmap is not installed (Debian package: postfix)")
            raw_cases(sm, line_socket)
            # SIGTERM: a kept connection between requests is closed at once,
            # one in the middle of a request gets its reply first.
            idle, busy = connect(sm), connect(sm)
            idle.sendall(netstring("forward a@orig.example"))
            read_netstrings(idle, 1)
            request = netstring("forward b@orig.example")
            busy.sendall(request[:10])
            time.sleep(0.2)
            os.kill(pid, signal.SIGTERM)
            began = time.time()
            check("SIGTERM closes an idle kept connection at once", closed(idle, 3) and
                  time.time() - began < 3)
            time.sleep(0.2)
            busy.sendall(request[10:])
            check("and lets a request in flight finish", read_netstrings(busy, 1) ==
                  ["OK %s@%s" % (srs0("b", "orig.example"), SRS_DOMAIN)])
            check("then closes that connection too", closed(busy, 3))
            check("the daemon removes its sockets", not os.path.exists(sm) and
                  not os.path.exists(line_socket))
            idle.close()
            busy.close()
        finally:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
    print("socketmap-protocol: %d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
