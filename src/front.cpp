#include "front.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sys/resource.h>
#include <type_traits>
#include <unistd.h>

#include "scan.h"

// The time type's width picks the output format and bounds the seconds argument.
static_assert(sizeof(time_t) == 4 || sizeof(time_t) == 8, "time type must be 32 or 64 bits");
static_assert(std::numeric_limits<time_t>::is_signed, "time type must be signed");

void fail(Status status, int err, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::vfprintf(stderr, format, ap);
	va_end(ap);
	if (err != 0) {
		errno = err;
		std::perror(nullptr);
	}
	std::exit(static_cast<int>(status));
}

void print_time_and_exit(time_t t)
{
	// A signed type as wide as the time type, so that the line shows the
	// value as the time type holds it.
	using Wide = std::conditional_t<sizeof(time_t) == 4, int, long long>;
	auto value = static_cast<Wide>(t);
	// Formatted by hand and written at once: standard output's buffer would
	// set up the allocator, which costs more than examining a small tree.
	char line[24];
	char *end = line + sizeof line, *p = end;
	*--p = '\n';
	// The magnitude unsigned, so that the most negative value has one too.
	auto magnitude = static_cast<std::make_unsigned_t<Wide>>(value);
	if (value < 0)
		magnitude = 0 - magnitude;
	do {
		*--p = static_cast<char>('0' + magnitude % 10);
		magnitude /= 10;
	} while (magnitude != 0);
	if (value < 0)
		*--p = '-';
	// A result that did not reach its reader is no success.
	while (p < end) {
		ssize_t n = write(STDOUT_FILENO, p, static_cast<std::size_t>(end - p));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			fail(Status::write_failed, n < 0 ? errno : EIO, "Error writing result: ");
		p += n;
	}
	std::exit(static_cast<int>(Status::ok));
}

time_t get_time()
{
	time_t now = std::time(nullptr);
	if (now < 0)
		fail(Status::no_clock, 0, "Error getting current time\n");
	return now;
}

time_t parse_seconds(const char *text)
{
	char *end;
	// The conversion's own range report is not consulted: text past the 64-bit
	// range saturates and then meets the time type's bound below.
	long long value = std::strtoll(text, &end, 10);
	if (*end != '\0' || value < 0)
		fail(Status::usage, 0,
		     "Illegal argument for time in seconds, expected non-negative integer, found '%s'\n",
		     text);
	if constexpr (sizeof(time_t) < sizeof(long long)) {
		if (value > static_cast<long long>(std::numeric_limits<time_t>::max()))
			fail(Status::usage, 0, "Integer overflow, %lld out of range.\n", value);
	}
	return static_cast<time_t>(value);
}

void read_stop_argument(const char *arg, time_t *threshold, time_t *window)
{
	if (arg[0] == 'r') {
		// The number first, so a malformed one is reported without consulting the clock.
		*window = parse_seconds(arg + 1);
		*threshold = get_time() - *window;
	} else {
		*threshold = parse_seconds(arg);
	}
}

// Lets the walk keep a descriptor at every level of a deep tree, which
// spares it letting go of directories and opening them again by their path.
static void raise_open_files_limit()
{
	struct rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
		return;
	rlim_t want = limit.rlim_max;
#ifdef OPEN_MAX
	// Some systems refuse a soft limit above OPEN_MAX even when the hard one is higher.
	if (want > OPEN_MAX)
		want = OPEN_MAX;
#endif
	if (want <= limit.rlim_cur)
		return;
	limit.rlim_cur = want;
	// Best effort: where the system refuses, the walk makes do with fewer.
	(void)setrlimit(RLIMIT_NOFILE, &limit);
}

int treestamp_main(int argc, char *argv[])
{
	if (argc != 2 && argc != 3) {
		// Straight to the descriptor, as standard error is unbuffered anyway:
		// one function fewer for the program to import.
		static const char usage[] = "Syntax: treestamp <dir> [[r]<stopWhenYoungerSeconds>]\n";
		(void)!write(STDERR_FILENO, usage, sizeof usage - 1);
		return static_cast<int>(Status::usage);
	}
	time_t threshold = 0;
	time_t window = 0;
	if (argc == 3)
		read_stop_argument(argv[2], &threshold, &window);
	raise_open_files_limit();
	time_t newest = 0;
	print_time_and_exit(tree_stamp(argv[1], &newest, &threshold, &window));
}
