/*
 * Starts a command many times, one run after another, and prints the mean
 * wall time of one run in microseconds. A Python loop would add its own
 * start-up noise to every run; this adds one posix_spawn and one wait.
 *
 *     startup COUNT command [args...] [| command [args...]]
 *
 * A lone "|" joins two commands by a pipe, as a shell would; the output of
 * the last goes to /dev/null. Any run that fails stops the measurement.
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

/* Spawns argv with standard input from in and output to out; returns its pid. */
static pid_t spawn(char **argv, int in, int out, int unused)
{
	posix_spawn_file_actions_t actions;
	pid_t pid;
	posix_spawn_file_actions_init(&actions);
	if (in != 0)
		posix_spawn_file_actions_adddup2(&actions, in, 0);
	posix_spawn_file_actions_adddup2(&actions, out, 1);
	if (unused >= 0)
		posix_spawn_file_actions_addclose(&actions, unused);
	if (posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ) != 0) {
		perror(argv[0]);
		exit(1);
	}
	posix_spawn_file_actions_destroy(&actions);
	return pid;
}

/* Waits for pid; false unless it exited with status 0. */
static int succeeded(pid_t pid)
{
	int status;
	return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int main(int argc, char **argv)
{
	if (argc < 3) {
		fputs("usage: startup COUNT command [args...] [| command [args...]]\n", stderr);
		return 2;
	}
	long count = strtol(argv[1], NULL, 10);
	char **first = argv + 2, **second = NULL;
	for (char **a = first; *a != NULL; ++a)
		if (strcmp(*a, "|") == 0) {
			*a = NULL;
			second = a + 1;
			break;
		}
	int null = open("/dev/null", O_WRONLY);
	struct timespec start, end;
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (long i = 0; i < count; ++i) {
		int ok;
		if (second == NULL) {
			ok = succeeded(spawn(first, 0, null, -1));
		} else {
			int p[2];
			if (pipe(p) != 0) {
				perror("pipe");
				return 1;
			}
			pid_t a = spawn(first, 0, p[1], p[0]);
			pid_t b = spawn(second, p[0], null, p[1]);
			close(p[0]);
			close(p[1]);
			ok = succeeded(a) & succeeded(b);
		}
		if (!ok) {
			fprintf(stderr, "%s failed\n", first[0]);
			return 1;
		}
	}
	clock_gettime(CLOCK_MONOTONIC, &end);
	double us = (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
	printf("%.1f\n", us / (double)count);
	return 0;
}
