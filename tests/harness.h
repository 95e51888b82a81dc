// Runs the built program on trees made for one test and checks what it says.
#pragma once

#include <ctime>
#include <string>
#include <vector>

using Strings = std::vector<std::string>;

// Where the program's standard output goes.
enum class Output { captured, full_device, closed };

// The program under test: the one built beside the tests, or the one that
// the environment's TREESTAMP_PROGRAM names, built elsewhere, for instance
// against another C library (TREESTAMP_PROGRAM_LIBC=musl says which) or for
// another processor (TREESTAMP_EMULATOR then names the command that runs it).
const std::string &program();

struct RunOptions {
	Strings env = {};    // NAME=value added to the environment
	Strings prefix = {}; // a command that runs the program: prlimit, setpriv
	Output output = Output::captured;
	std::string program = ::program();
};

// One run: the arguments and what it must leave behind (exit status, outputs).
struct Case {
	Strings args;
	int status;
	std::string out;
	std::string err = {};
};

// Where a case leaves standard error to the caller.
const std::string kAnyError = "(any)";

// What one run left behind; standard output is empty unless captured.
struct Result {
	int status;
	std::string out, err;
};

// Runs the program on args.
Result run(const Strings &args, const RunOptions &options = {});

// Runs the program as c says and checks status, standard output and error;
// returns standard error.
std::string check(const Case &c, const RunOptions &options = {});

// A prefix that makes permissions count: it drops to an unprivileged user
// when the tests run as root.
Strings unprivileged();

// Preloading reaches no static program, nor one built elsewhere; the tests
// that need the stand-ins below skip such a program.
bool preloadable();

// True when the program runs under an emulator, whose own limits a prefix
// such as prlimit sets instead of the program's.
bool emulated();

// True when the program carries the sanitizers' run-time, whose own needs
// of stack, memory and descriptors no limit meant for the program allows.
bool sanitized();

// The system's text for err, in the words of the program's C library.
std::string error_text(int err);

// Preloads the clock: "fail" or readings separated by commas (the last
// repeats), each reading logged as a line in log.
Strings fake_clock(const std::string &readings, const std::string &log);
// Preloads a listing call that fails with err on the directory dir.
Strings failing_listing(const std::string &dir, int err);
// Preloads a status call that fails with err on every entry called name.
Strings failing_status(const std::string &name, int err);
// Preloads an open that fails with err on everything called name.
Strings failing_open(const std::string &name, int err);
// Preloads an open that, the first time something called name is opened,
// first makes the paths a and b trade places.
Strings exchange_on_open(const std::string &name, const std::string &a, const std::string &b);
// Preloads an open that, the first time something called name (or, with a
// slash, the path name) is opened, first (or, where after is set, right
// after the open) removes the paths in remove, renames those paired in
// rename ("from>to") and makes empty files timed 1 at those in create
// (directories, where they end in a slash). A ";" in a list begins what is
// done the next time.
Strings change_on_open(const std::string &name, const Strings &remove, const Strings &create,
                       const Strings &rename = {}, bool after = false);
// The names in the directory dir, but . and .., in the order it lists them.
Strings listing(const std::string &dir);
// How the kernel lists dir to a reader of 32 KiB at a time: each name but
// . and .., where it begins (the position after the one before), and which
// read, from 0, holds it.
struct Listed {
	std::string name;
	long long start;
	int read;
};
std::vector<Listed> kernel_listing(const std::string &dir);
// Says, in the test's output and in the file TREESTAMP_VOID_LOG names, that
// a row's premise does not hold here, so that the row proves nothing of
// what it is for.
void premise_void(const std::string &row, const std::string &why);
// True when dir lies on kernfs (sysfs, cgroupfs).
bool on_kernfs(const std::string &dir);
// What the file at path holds, empty when it cannot be read.
std::string read_file(const std::string &path);
int count_lines(const std::string &path);

enum class Kind { file, dir, link, fifo };

// One entry of a tree: its path below the root, modification time, kind, link target.
struct Node {
	std::string path;
	time_t mtime;
	Kind kind = Kind::file;
	std::string target = {};
};

// Sets the times of path, given as text, so a 32-bit build can set them past 2038.
void set_times(const std::string &path, const std::string &mtime, const std::string &atime);
// Sets the times of everything below the directory dir to t.
void set_times_below(const std::string &dir, time_t t);
// Makes the nodes in order below the directory base, then sets their times.
void make_nodes(const std::string &base, const std::vector<Node> &nodes);

// A fresh world-searchable directory in top (by default $TMPDIR, or /tmp),
// removed with everything below it.
class TempDir {
public:
	explicit TempDir(const std::string &top = {});
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

	// Makes the nodes in order, then sets their times.
	void make(const std::vector<Node> &nodes) const { make_nodes(path_, nodes); }
	void touch(const std::string &rel, const std::string &mtime, const std::string &atime) const
	{
		set_times(*this / rel, mtime, atime);
	}
	// Nests levels directories named name below rel, level i timed base + i,
	// with a file leaf (if named) timed base + levels + 1 in the deepest;
	// returns the deepest path.
	std::string chain(const std::string &rel, int levels, const std::string &name, time_t base,
	                  const std::string &leaf = {}) const;
	// A copy of the program that an unprivileged user can run.
	std::string program_copy() const;

private:
	std::string path_;
};
