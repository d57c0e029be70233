/* The floor of a persistent fork-per-connection netstring server: accept,
 * fork, then for each netstring request on the connection write one fixed
 * netstring reply, until the client closes. Used by socketmap-load as the
 * reference for the daemon's socketmap front end.
 *
 *   minimal-netstring-server SOCKET_PATH
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

static void reap_all(int sig) {
    int saved = errno;
    (void)sig;
    while (waitpid(-1, NULL, WNOHANG) > 0) {
    }
    errno = saved;
}

static void serve(int c) {
    static const char reply[] = "52:OK SRS0=AbCdEf=J5=example.org=user@forwarder.example,";
    char buf[10016];
    size_t have = 0;
    for (;;) {
        /* A complete request at the start of the buffer? */
        char *colon = memchr(buf, ':', have);
        if (colon != NULL) {
            size_t length = (size_t)strtoul(buf, NULL, 10);
            size_t size = (size_t)(colon - buf) + 1 + length + 1;
            if (size > sizeof buf) return;
            if (have >= size) {
                if (write(c, reply, sizeof reply - 1) < 0) return;
                memmove(buf, buf + size, have - size);
                have -= size;
                continue;
            }
        }
        {
            ssize_t got = read(c, buf + have, sizeof buf - have);
            if (got <= 0) return;
            have += (size_t)got;
        }
    }
}

int main(int argc, char **argv) {
    struct sockaddr_un a;
    struct sigaction reap;
    int listener;
    if (argc != 2 || strlen(argv[1]) >= sizeof a.sun_path) {
        fprintf(stderr, "usage: minimal-netstring-server SOCKET_PATH\n");
        return 2;
    }
    listener = socket(AF_UNIX, SOCK_STREAM, 0);
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, argv[1]);
    unlink(argv[1]);
    if (bind(listener, (struct sockaddr *)&a, sizeof a) != 0 || listen(listener, SOMAXCONN) != 0)
        return 1;
    memset(&reap, 0, sizeof reap);
    reap.sa_handler = reap_all;
    sigemptyset(&reap.sa_mask);
    reap.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &reap, NULL);
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
        int c = accept(listener, NULL, NULL);
        if (c < 0) continue;
        if (fork() == 0) {
            close(listener);
            serve(c);
            close(c);
            _exit(0);
        }
        close(c);
    }
}
