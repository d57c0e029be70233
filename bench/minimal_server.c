/* The floor of the fork-per-connection design: accept, fork, read one line,
 * write one fixed line, exit. Used by srs-load as the reference server.
 *
 *   minimal-server SOCKET_PATH
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <stdio.h>
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

int main(int argc, char **argv) {
    static const char reply[] = "SRS0=AbCdEf=J5=example.org=user@forwarder.example\n";
    struct sockaddr_un a;
    struct sigaction reap;
    int listener;
    if (argc != 2 || strlen(argv[1]) >= sizeof a.sun_path) {
        fprintf(stderr, "usage: minimal-server SOCKET_PATH\n");
        return 2;
    }
    listener = socket(AF_UNIX, SOCK_STREAM, 0);
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, argv[1]);
    unlink(argv[1]);
    if (bind(listener, (struct sockaddr *)&a, sizeof a) != 0 || listen(listener, 8) != 0) return 1;
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
            char buf[1024];
            size_t n = 0;
            close(listener);
            while (n < sizeof buf) {
                ssize_t got = read(c, buf + n, sizeof buf - n);
                if (got <= 0 || memchr(buf + n, '\n', (size_t)got) != NULL) break;
                n += (size_t)got;
            }
            if (write(c, reply, sizeof reply - 1) < 0) _exit(0);
            close(c);
            _exit(0);
        }
        close(c);
    }
}
