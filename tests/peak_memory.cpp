// peak_memory FILE PROGRAM [ARG]...: runs the program with this one's
// standard streams, writes its peak resident set in KiB to FILE, and
// exits with its status.  A test cannot measure a program it forks
// itself: the child's peak counts the test's own memory, copied by the
// fork, until it starts the program.  This small process forks it
// instead.
#include <cstdio>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc < 3)
		return 2;
	pid_t pid = fork();
	if (pid == 0) {
		execv(argv[2], argv + 2);
		_exit(127);
	}
	int status;
	rusage usage;
	if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
		return 2;
	FILE *f = std::fopen(argv[1], "w");
	if (!f || std::fprintf(f, "%ld\n", usage.ru_maxrss) < 0 || std::fclose(f) != 0)
		return 2;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
