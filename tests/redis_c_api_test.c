/* The Redis store's header from C99: every function called from C against a
 * redis-server that the test starts in a fresh temporary folder, and the
 * program linked with the C compiler alone. Exits non-zero on a failure,
 * 77 (a skip) when redis-server is missing, except under CI (CI=true). */
#define _POSIX_C_SOURCE 200809L /* mkdtemp, kill, nanosleep */

#include "srs_redis.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

/* Starts redis-server on a unix socket in dir; its pid, or -1. */
static pid_t start_server(const char *dir, const char *socket_path) {
    const char *program = getenv("REDIS_SERVER");
    pid_t pid;
    char log[96];
    sprintf(log, "%s/redis.log", dir);
    if (program == NULL || *program == '\0') program = "redis-server";
    pid = fork();
    if (pid == 0) {
        execlp(program, program, "--port", "0", "--unixsocket", socket_path, "--save", "",
               "--appendonly", "no", "--daemonize", "no", "--dir", dir, "--logfile", log,
               (char *)NULL);
        _exit(127);
    }
    return pid;
}

int main(void) {
    char dir[] = "/tmp/srs-redis-c-XXXXXX";
    char socket_path[64];
    char log[96];
    char fwd[256];
    char back[256];
    srs_redis_options options;
    srs_handle *h;
    pid_t server;
    int rc = SRS_DB_ERROR;
    int status = 0;
    int waited;
    const char *ci = getenv("CI");

    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 1;
    }
    sprintf(socket_path, "%s/redis.sock", dir);
    sprintf(log, "%s/redis.log", dir);

    h = srs_open("secret", 6, 0, 0, 0);
    CHECK(h != NULL);
    CHECK(srs_redis_attach(NULL, socket_path, NULL) == SRS_BAD_HANDLE);
    CHECK(srs_redis_attach(h, NULL, NULL) == SRS_BAD_PARAMETER);
    CHECK(strcmp(srs_redis_last_error(NULL), "") == 0);
    CHECK(srs_redis_detach(h) == SRS_DB_NOT_IN_USE);

    server = start_server(dir, socket_path);
    if (server < 0) {
        perror("fork");
        return 1;
    }
    /* Ready once attach (connect and PING) succeeds. */
    memset(&options, 0, sizeof options);
    options.prefix = "c-test";
    options.timeout_ms = 500;
    for (waited = 0; waited < 10000; waited += 5) {
        struct timespec pause = {0, 5000000};
        rc = srs_redis_attach(h, socket_path, &options);
        if (rc == SRS_OK || waitpid(server, &status, WNOHANG) == server) break;
        CHECK(rc == SRS_DB_ERROR);
        CHECK(strlen(srs_redis_last_error(h)) > 0);
        nanosleep(&pause, NULL);
    }
    if (rc != SRS_OK && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        fprintf(stderr, "redis-server is not installed (Debian package redis-server)\n");
        srs_close(h);
        rmdir(dir);
        return ci != NULL && strcmp(ci, "true") == 0 ? 1 : 77;
    }
    CHECK(rc == SRS_OK);
    CHECK(strcmp(srs_redis_last_error(h), "") == 0);

    CHECK(srs_forward(h, "alice@example.org", "fwd.example", fwd, sizeof fwd) == SRS_OK);
    CHECK(strlen(fwd) == strlen("SRS0=HHHHHH=TT=@fwd.example") + SRS_REDIS_ID_LENGTH);
    CHECK(srs_reverse(h, fwd, back, sizeof back) == SRS_OK);
    CHECK(strcmp(back, "alice@example.org") == 0);

    CHECK(srs_redis_detach(h) == SRS_OK);
    CHECK(srs_redis_detach(h) == SRS_DB_NOT_IN_USE);
    CHECK(srs_get_db_context(h) == NULL);
    srs_close(h);

    kill(server, SIGKILL);
    waitpid(server, &status, 0);
    unlink(socket_path);
    unlink(log);
    rmdir(dir);
    return failures == 0 ? 0 : 1;
}
