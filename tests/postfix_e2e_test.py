#!/usr/bin/env python3
"""End to end with a real Postfix: a throwaway instance (its own
configuration and queue in a temporary directory, SMTP on 127.0.0.1 at a
free port, everything relayed to Postfix's smtp-sink on another port)
asks the srs daemon's socketmap socket through sender_canonical_maps and
recipient_canonical_maps, as docs/postfix.md sets them up.

    postfix_e2e_test.py PATH-TO-SRS

Needs root and Debian's postfix package. Without them it exits with 77
(skipped) and says what is missing, except under CI (CI=true), where a
missing piece is a failure. Everything it starts is stopped at the end,
also when a check fails.
"""
import glob
import os
import pwd
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
SRS_DOMAIN = "srs.fwd.example"
LOCAL_DOMAIN = "fwd.example"  # its senders are excluded: not rewritten
SECRET = "postfix-e2e-secret"

failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok or not detail else ": " + detail))
    if not ok:
        failures.append(what)


def missing(reason):
    if os.environ.get("CI") == "true":
        print("postfix-e2e: cannot run under CI: " + reason)
        sys.exit(1)
    print("postfix-e2e: skipped: " + reason)
    sys.exit(SKIP)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*args, **kw):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, **kw)


def start(*args):
    """Runs a program that leaves a daemon behind: its output goes to a
    file, not to a pipe the daemon would hold open."""
    with tempfile.TemporaryFile("w+") as out:
        done = subprocess.run(list(args), stdout=out, stderr=subprocess.STDOUT)
        out.seek(0)
        if done.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (args[0], done.returncode, out.read()))


def wait_until(condition, seconds=15):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return condition()


class Instance:
    """The Postfix instance, the sink and the daemon, in one directory."""

    def __init__(self, srs):
        self.srs = srs
        self.dir = tempfile.mkdtemp(prefix="srs-postfix-")
        os.chmod(self.dir, 0o755)
        self.etc = os.path.join(self.dir, "etc")
        self.sink = os.path.join(self.dir, "sink")
        # As docs/postfix.md has it: the socket under the queue directory,
        # named relative to it in main.cf, so that services in their chroot
        # jail (the queue directory) reach it.
        self.queue = os.path.join(self.dir, "queue")
        self.socket = os.path.join(self.queue, "srs", "socket")
        self.pid_file = os.path.join(self.queue, "srs", "srs.pid")
        self.maillog = os.path.join(self.dir, "maillog")
        self.smtp_port = free_port()
        self.sink_port = free_port()
        self.sink_process = None
        self.postfix_started = False
        for sub in ("etc", "queue", "data", "sink", "queue/srs"):
            os.makedirs(os.path.join(self.dir, sub))
        postfix = pwd.getpwnam("postfix")
        for sub in ("data", "sink"):
            os.chown(os.path.join(self.dir, sub), postfix.pw_uid, postfix.pw_gid)
        # The daemon's directory: its user's, Postfix's group.
        os.chown(os.path.join(self.queue, "srs"), pwd.getpwnam("nobody").pw_uid, postfix.pw_gid)
        os.chmod(os.path.join(self.queue, "srs"), 0o750)

    def configure(self):
        d = self.dir
        main = f"""\
compatibility_level = 3.6
queue_directory = {d}/queue
data_directory = {d}/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
shlib_directory = /usr/lib/postfix
meta_directory = /etc/postfix
mail_owner = postfix
setgid_group = postdrop
maillog_file = {self.maillog}
maillog_file_prefixes = {d}
myhostname = mx.{LOCAL_DOMAIN}
mydomain = {LOCAL_DOMAIN}
myorigin = {LOCAL_DOMAIN}
mydestination =
alias_maps =
alias_database =
local_recipient_maps =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
relayhost = [127.0.0.1]:{self.sink_port}
smtp_host_lookup = native
virtual_alias_domains = {LOCAL_DOMAIN}, {SRS_DOMAIN}
virtual_alias_maps = inline:{{ {{list@{LOCAL_DOMAIN} = remote@dest.example}} }}
sender_canonical_maps = socketmap:unix:srs/socket:forward
sender_canonical_classes = envelope_sender
recipient_canonical_maps = socketmap:unix:srs/socket:reverse
recipient_canonical_classes = envelope_recipient
biff = no
"""
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(main)
        # The services that look senders and recipients up run chrooted in
        # the queue directory, as Debian runs them.
        services = [
            f"127.0.0.1:{self.smtp_port} inet n - y - - smtpd",
            "pickup unix n - n 60 1 pickup", "cleanup unix n - y - 0 cleanup",
            "qmgr unix n - n 300 1 qmgr", "rewrite unix - - n - - trivial-rewrite",
            "bounce unix - - n - 0 bounce", "defer unix - - n - 0 bounce",
            "trace unix - - n - 0 bounce", "verify unix - - n - 1 verify",
            "flush unix n - n 1000? 0 flush", "proxymap unix - - n - - proxymap",
            "smtp unix - - n - - smtp", "relay unix - - n - - smtp",
            "showq unix n - n - - showq", "error unix - - n - - error",
            "retry unix - - n - - error", "discard unix - - n - - discard",
            "anvil unix - - n - 1 anvil", "scache unix - - n - 1 scache",
            "postlog unix-dgram n - n - 1 postlogd",
        ]
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write("\n".join(services) + "\n")

    def start_daemon(self):
        # As docs/postfix.md and contrib/srs-socketmap.service have it: a
        # user of its own (nobody stands in for srs here) with Postfix's
        # group, umask 007, so that the socket is srwxrwx--- srs postfix.
        # Postfix's services run with its group alone (no supplementary
        # groups), so the socket's group must be that one.
        old = os.umask(0o007)
        try:
            start("setpriv", "--reuid=nobody", "--regid=postfix", "--clear-groups",
                  self.srs, "-d", "--socketmap=" + self.socket, "--alias=" + SRS_DOMAIN,
                  "--exclude=" + LOCAL_DOMAIN, "--secret=" + SECRET,
                  "--pidfile=" + self.pid_file, "--syslog=" + os.path.join(self.dir, "log"))
        finally:
            os.umask(old)

    def stop_daemon(self):
        try:
            pid = int(open(self.pid_file).read())
        except (OSError, ValueError):
            return
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        wait_until(lambda: not os.path.exists(self.socket), 10)

    def start(self):
        self.configure()
        self.sink_process = subprocess.Popen(
            ["smtp-sink", "-u", "postfix", "-d", self.sink + "/%M.",
             f"127.0.0.1:{self.sink_port}", "100"])
        self.start_daemon()
        start("postfix", "-c", self.etc, "start")
        self.postfix_started = True

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.smtp_port), 1).close()
                return True
            except OSError:
                return False

        if not wait_until(listening):
            raise RuntimeError("Postfix does not listen on port %d" % self.smtp_port)

    def stop(self):
        if self.postfix_started:
            subprocess.run(["postfix", "-c", self.etc, "stop"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            # master ends after its children; wait for the lock to go.
            wait_until(lambda: subprocess.run(["postfix", "-c", self.etc, "status"],
                                              stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL).returncode != 0, 10)
        self.stop_daemon()
        if self.sink_process:
            self.sink_process.kill()
            self.sink_process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def delivered(self, subject, seconds=15):
        """The sink's dump of the message with this subject: its envelope
        (X-Mail-Args, X-Rcpt-Args) and content."""
        def find():
            for name in glob.glob(self.sink + "/*"):
                text = open(name, errors="replace").read()
                if "\nSubject: " + subject + "\n" in text.replace("\r\n", "\n"):
                    return text
            return None
        return wait_until(find, seconds)

    def log_tail(self):
        try:
            return open(self.maillog).read()[-3000:]
        except OSError:
            return ""


def envelope(dump, name):
    for line in dump.splitlines():
        if line.startswith(name + ": "):
            return line[len(name) + 2:]
    return ""


def send(port, sender, recipients, subject, headers=""):
    """Sends one message; the replies to each RCPT, and to DATA."""
    with smtplib.SMTP("127.0.0.1", port, timeout=20) as s:
        s.ehlo("client.example")
        s.mail(sender)
        replies = {r: s.rcpt(r)[0] for r in recipients}
        data = None
        if any(code == 250 for code in replies.values()):
            data = s.data((headers + "Subject: " + subject + "\r\n\r\nbody\r\n").encode())[0]
        else:
            s.rset()
        return replies, data


def main():
    srs = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        missing("needs root (Postfix is started as root and switches to its own user)")
    for program in ("postfix", "smtp-sink", "postqueue", "sendmail", "setpriv"):
        if shutil.which(program) is None:
            missing(program + " is not installed (Debian package: postfix)")
    try:
        pwd.getpwnam("postfix")
    except KeyError:
        missing("no user postfix (Debian package: postfix)")

    pf = Instance(srs)
    try:
        pf.start()
        port = pf.smtp_port

        # Forwarding: the envelope sender is rewritten, From: is not.
        replies, data = send(port, "alice@orig.example", ["list@" + LOCAL_DOMAIN], "forwarded",
                             "From: Alice <alice@orig.example>\r\n")
        check("message to the forwarded alias accepted", data == 250, str((replies, data)))
        dump = pf.delivered("forwarded") or ""
        sender = envelope(dump, "X-Mail-Args").strip("<>")
        check("leaves with an SRS0 sender of the SRS domain",
              sender.startswith("SRS0=") and sender.endswith("@" + SRS_DOMAIN), sender)
        check("forwarded to the alias's target", "<remote@dest.example>" in envelope(dump, "X-Rcpt-Args"))
        check("From: header untouched", "\nFrom: Alice <alice@orig.example>" in dump.replace("\r\n", "\n"))
        back = subprocess.run([srs, "--reverse", "--secret=" + SECRET, sender],
                              capture_output=True, text=True).stdout.strip()
        check("the SRS0 sender reverses to alice", back == "alice@orig.example", back)

        # A bounce to that address goes to alice.
        replies, data = send(port, "", [sender], "bounce")
        check("bounce to the SRS0 address accepted", replies[sender] == 250 and data == 250,
              str((replies, data)))
        dump = pf.delivered("bounce") or ""
        check("bounce delivered to alice", envelope(dump, "X-Rcpt-Args").startswith("<alice@orig.example>"),
              envelope(dump, "X-Rcpt-Args"))
        check("bounce keeps the null sender", envelope(dump, "X-Mail-Args") == "<>")

        # Forged hash and unknown address of the SRS domain: 550 at RCPT.
        forged = sender[:5] + ("A" if sender[5] != "A" else "B") + sender[6:]
        unknown = "nobody@" + SRS_DOMAIN
        replies, _ = send(port, "", [forged, unknown], "refused")
        check("forged SRS address rejected with 550", replies[forged] == 550, str(replies))
        check("unknown address of the SRS domain rejected with 550", replies[unknown] == 550,
              str(replies))

        # A local sender (excluded domain) is left alone.
        _, data = send(port, "bob@" + LOCAL_DOMAIN, ["list@" + LOCAL_DOMAIN], "local")
        dump = pf.delivered("local") or ""
        check("local sender not rewritten", envelope(dump, "X-Mail-Args") == "<bob@%s>" % LOCAL_DOMAIN,
              envelope(dump, "X-Mail-Args"))

        # A quoted local part, both ways.
        _, data = send(port, '"john doe"@orig.example', ["list@" + LOCAL_DOMAIN], "quoted")
        dump = pf.delivered("quoted") or ""
        quoted = envelope(dump, "X-Mail-Args")
        check("quoted sender becomes one quoted SRS address",
              quoted.startswith('<"SRS0=') and quoted.endswith('=john doe"@%s>' % SRS_DOMAIN), quoted)
        quoted = quoted[1:-1]
        replies, data = send(port, "", [quoted], "quoted bounce")
        dump = pf.delivered("quoted bounce") or ""
        check("bounce to it reaches the quoted original",
              envelope(dump, "X-Rcpt-Args").startswith('<"john doe"@orig.example>'),
              envelope(dump, "X-Rcpt-Args") + " " + str((replies, data)))

        # The daemon down: nothing is lost. SMTP is deferred with 451 (the
        # client keeps the message); a message submitted here stays queued
        # and goes out, rewritten, once the daemon is back.
        pf.stop_daemon()
        replies, _ = send(port, "carol@orig.example", ["list@" + LOCAL_DOMAIN], "while down")
        code = replies["list@" + LOCAL_DOMAIN]
        check("SMTP while the daemon is down deferred with 4xx", 400 <= code < 500, str(code))
        subprocess.run(["sendmail", "-C", pf.etc, "-f", "dave@orig.example", "list@" + LOCAL_DOMAIN],
                       input="Subject: queued while down\n\nbody\n", text=True, check=True)
        time.sleep(2)
        check("nothing delivered while the daemon is down", pf.delivered("queued while down", 0) is None)
        queue = run("postqueue", "-c", pf.etc, "-p").stdout
        check("the submitted message waits in the queue", "dave@orig.example" in queue, queue)
        pf.start_daemon()
        start("postqueue", "-c", pf.etc, "-f")
        dump = pf.delivered("queued while down", 30) or ""
        sender = envelope(dump, "X-Mail-Args")
        check("after a flush it leaves with a rewritten sender",
              sender.startswith("<SRS0=") and "=orig.example=dave@" in sender, sender)
    except Exception as e:  # a failure of the set-up itself
        check("the instance runs", False, repr(e))
    finally:
        if failures:
            print("---- maillog (end) ----\n" + pf.log_tail())
        pf.stop()
    print("postfix-e2e: %d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
