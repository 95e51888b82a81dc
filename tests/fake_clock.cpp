// A stand-in for the calendar clock, preloaded into the program under test.
// FAKE_CLOCK is "fail" or readings separated by commas (the last repeats);
// every reading appends a line to the file FAKE_CLOCK_LOG.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

extern "C" time_t time(time_t *out)
{
	static const char *next = nullptr;
	const char *script = std::getenv("FAKE_CLOCK");
	if (script == nullptr)
		script = "0";
	if (next == nullptr)
		next = script;
	if (const char *log = std::getenv("FAKE_CLOCK_LOG")) {
		int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
		if (fd >= 0) {
			(void)!write(fd, "t\n", 2);
			close(fd);
		}
	}
	time_t now = -1;
	if (next[0] == 'f') {
		errno = EOVERFLOW;
	} else {
		char *end;
		now = static_cast<time_t>(std::strtoll(next, &end, 10));
		if (*end == ',')
			next = end + 1;
	}
	if (out != nullptr)
		*out = now;
	return now;
}
