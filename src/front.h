// Command-line front end: arguments, clock, result line and the process end.
#pragma once

#include <ctime>

// Every way the process can end; scripts tell outcomes apart by these.
enum class Status : int {
	ok = 0,           // a time was printed
	usage = 1,        // wrong argument count or an unusable seconds argument
	unexaminable = 2, // a path in the tree cannot be examined
	no_clock = 3,     // the current time cannot be read
	write_failed = 4, // the result line could not be written
};

#if defined(__GNUC__)
#define TREESTAMP_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define TREESTAMP_PRINTF(fmt, first)
#endif

// Writes the message (then, when err is not 0, the system's text for err) and ends the run.
[[noreturn]] void fail(Status status, int err, const char *format, ...) TREESTAMP_PRINTF(3, 4);

// Writes t as the one result line and ends the run with status 0, or 4 when the line was not written.
[[noreturn]] void print_time_and_exit(time_t t);

// Reads the calendar clock; ends the run when it cannot.
[[nodiscard]] time_t get_time();

// Converts a seconds argument to a time value; ends the run on anything unusable.
[[nodiscard]] time_t parse_seconds(const char *text);

// Fills threshold and window from the optional second argument.
void read_stop_argument(const char *arg, time_t *threshold, time_t *window);

// The whole program; main only forwards to it.
int treestamp_main(int argc, char *argv[]);
