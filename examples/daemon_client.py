#!/usr/bin/env python3
"""A client of the srs daemon in Python, standard library only.

    daemon_client.py SOCKET               talk to a running daemon
    daemon_client.py --start SRS          start SRS -d on a private socket first

Asks the daemon to forward a sender, then to reverse the result, and checks
that the sender comes back. With --start the daemon runs on a socket in a
temporary directory, with its secret in a secrets file of mode 0600 there,
and is stopped again at the end. Exit status 0 when every answer was the
expected one.

The protocol: connect to the stream socket, write one line, read the reply
until the daemon closes the connection.

    forward ADDRESS ALIAS   ->  SRS0=...@ALIAS       or  ERROR: Address '...' failed - ...
    reverse ADDRESS         ->  the original sender  or  ERROR: Could not validate address '...' - ...
                                (plus "WARNING: Case broken on hash in address '...'")
    anything else           ->  ERROR

A request line has at most 1023 characters; a client that has not sent its
line within 10 seconds gets ERROR.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time


def ask(path, request, timeout=15.0):
    """Sends one request line to the daemon at path; returns the reply lines
    (without their newlines)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(request.encode() + b"\n")
        chunks = []
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks).decode().splitlines()


def daemon_pids(sock):
    """Processes started with the argument --socket=SOCK: the daemon forks
    without exec, so its processes keep the argument list they started
    with, and the socket path lies in our private directory."""
    wanted = ("--socket=" + sock).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if wanted in args:
            pids.append(int(entry))
    return pids


def start_daemon(srs, directory):
    """Starts SRS -d on directory/srsd; returns the socket path once the
    daemon answers."""
    sock = os.path.join(directory, "srsd")
    secrets = os.path.join(directory, "secrets")
    fd = os.open(secrets, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(f"example secret {os.getpid()} {time.time()}\n")
    log = os.path.join(directory, "daemon.log")
    # The daemon keeps the starting process's output open: send it to a
    # file, never to a pipe that would be waited on.
    with open(log, "w") as out:
        subprocess.run([srs, "-d", "--socket=" + sock, "--secretfile=" + secrets],
                       stdout=out, stderr=subprocess.STDOUT, check=True)
    for _ in range(50):
        try:
            if ask(sock, "hello", timeout=2.0) == ["ERROR"]:
                return sock
        except OSError:
            pass
        time.sleep(0.1)
    with open(log) as f:
        sys.exit("daemon_client: the daemon did not answer; its output:\n" + f.read())


def stop_daemon(sock):
    for pid in daemon_pids(sock):
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


def check(sock, sender, alias):
    """Forward then reverse; returns True when the sender came back."""
    forwarded = ask(sock, f"forward {sender} {alias}")
    print("forward ", sender, "->", " / ".join(forwarded))
    if len(forwarded) != 1 or not forwarded[0].startswith("SRS0") \
            or not forwarded[0].endswith("@" + alias):
        print("daemon_client: unexpected forward reply", file=sys.stderr)
        return False
    restored = ask(sock, "reverse " + forwarded[0])
    print("reverse ", forwarded[0], "->", " / ".join(restored))
    if restored != [sender]:
        print(f"daemon_client: expected {sender!r}", file=sys.stderr)
        return False
    return True


def main():
    parser = argparse.ArgumentParser(description="Forward and reverse through the srs daemon.")
    parser.add_argument("socket", nargs="?", help="socket of a running daemon")
    parser.add_argument("--start", metavar="SRS", help="start this srs program as the daemon")
    parser.add_argument("--sender", default="alice@example.org")
    parser.add_argument("--alias", default="forwarder.example")
    args = parser.parse_args()
    if (args.socket is None) == (args.start is None):
        parser.error("give either a socket or --start SRS")

    if args.socket is not None:
        return 0 if check(args.socket, args.sender, args.alias) else 1

    with tempfile.TemporaryDirectory(prefix="srs-client.") as directory:
        sock = None
        try:
            sock = start_daemon(args.start, directory)
            ok = check(sock, args.sender, args.alias)
        finally:
            stop_daemon(sock or os.path.join(directory, "srsd"))
    print("daemon_client: all replies as expected" if ok else "daemon_client: failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
