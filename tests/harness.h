// Runs the built program on trees made for one test, capturing what it says.
#pragma once

#include <ctime>
#include <string>
#include <sys/resource.h>
#include <vector>

// What one run of the program left behind.
struct Result {
	int status; // exit status, or 128 + signal
	std::string out;
	std::string err;
};

// Where the program's standard output goes.
enum class Output { captured, full_device, closed };

struct RunOptions {
	std::vector<std::string> env = {}; // NAME=value added to the environment
	Output output = Output::captured;
	rlim_t nofile_soft = 0; // 0 leaves the limit alone
	rlim_t nofile_hard = 0;
	rlim_t stack = 0;
	bool unprivileged = false;   // run as uid/gid 65534 (when the tests run as root)
	std::string program = {};    // defaults to the built treestamp
};

Result run(const std::vector<std::string> &args, const RunOptions &options = {});

// Preloads the scripted clock: readings is "fail" or numbers separated by
// commas (the last repeats); each reading is logged as a line in log.
std::vector<std::string> fake_clock(const std::string &readings, const std::string &log);

// Preloads a listing call that fails on the directory dir.
std::vector<std::string> failing_listing(const std::string &dir);

// Counts the lines of a file (0 when it does not exist).
int count_lines(const std::string &path);

enum class Kind { file, dir, link, fifo };

// One entry of a tree to make: path relative to the root, its modification
// time, and for a link its target.
struct Node {
	std::string path;
	time_t mtime;
	Kind kind = Kind::file;
	std::string target = {};
};

// A fresh directory, world-searchable so that an unprivileged run reaches it;
// removed with everything below it at the end of the test.
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }
	std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

	// Makes the nodes in order, then sets every time.
	void make(const std::vector<Node> &nodes) const;
	// Makes levels nested directories named name below rel (relative to the
	// root), level i timed base + i, and in the deepest a file named leaf
	// (unless empty) timed base + levels + 1; returns the deepest path.
	std::string chain(const std::string &rel, int levels, const std::string &name, time_t base,
	                  const std::string &leaf = {}) const;
	// Sets the times of an existing entry (after its contents are made).
	void touch(const std::string &rel, time_t mtime) const { touch(rel, mtime, mtime); }
	void touch(const std::string &rel, time_t mtime, time_t atime) const;
	// The same for times that a 32-bit time type cannot hold.
	void touch_wide(const std::string &rel, long long mtime, long long atime) const;
	// A copy of the program that an unprivileged user can run.
	std::string program_copy() const;

private:
	std::string path_;
};

bool running_as_root();
