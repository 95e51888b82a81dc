#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#ifndef TREESTAMP_EMULATOR
#define TREESTAMP_EMULATOR ""
#endif

namespace {

[[noreturn]] void die(const std::string &what)
{
	throw std::runtime_error(what + ": " + std::strerror(errno));
}

void shell(const std::string &command)
{
	if (std::system(command.c_str()) != 0)
		die(command);
}

std::string slurp(std::FILE *f)
{
	std::string text;
	std::rewind(f);
	for (int ch; (ch = std::fgetc(f)) != EOF;)
		text += static_cast<char>(ch);
	std::fclose(f);
	return text;
}

// The stand-ins, set up by vars. The loader splits what it preloads at
// spaces, which the folder the project lives in may hold, so they are
// preloaded by name from a library path, which it splits at colons only.
// The sanitizer runtime insists on coming first; the stand-ins must, too.
Strings preloaded(const Strings &vars)
{
	const std::string module = FAKE_SYSTEM_MODULE;
	const std::size_t slash = module.rfind('/');
	Strings env = {"LD_PRELOAD=" + module.substr(slash + 1), "LD_LIBRARY_PATH=" + module.substr(0, slash),
	               "ASAN_OPTIONS=verify_asan_link_order=0"};
	env.insert(env.end(), vars.begin(), vars.end());
	return env;
}

// The command that runs a program built for another processor, if any.
Strings emulator()
{
	const char *given = std::getenv("TREESTAMP_EMULATOR");
	std::istringstream text(given != nullptr ? given : TREESTAMP_EMULATOR);
	Strings words;
	for (std::string word; text >> word;)
		words.push_back(word);
	return words;
}

} // namespace

const std::string &program()
{
	static const std::string path = [] {
		const char *given = std::getenv("TREESTAMP_PROGRAM");
		return std::string(given != nullptr && *given != '\0' ? given : TREESTAMP_BINARY);
	}();
	return path;
}

bool preloadable()
{
#ifdef TREESTAMP_STATIC_PROGRAM
	return false;
#else
	return program() == TREESTAMP_BINARY;
#endif
}

std::string error_text(int err)
{
	const char *libc = std::getenv("TREESTAMP_PROGRAM_LIBC");
	if (libc != nullptr && std::string(libc) == "musl") {
		switch (err) {
		case ENAMETOOLONG: return "Filename too long";
		case EMFILE: return "No file descriptors available";
		case EOVERFLOW: return "Value too large for data type";
		case EIO: return "I/O error";
		}
	}
	return std::strerror(err);
}

bool emulated()
{
	return !emulator().empty();
}

bool sanitized()
{
#if defined(__SANITIZE_ADDRESS__)
	return program() == TREESTAMP_BINARY;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
	return program() == TREESTAMP_BINARY;
#endif
#endif
	return false;
}

Result run(const Strings &args, const RunOptions &options)
{
	Strings words(options.prefix);
	for (const auto &word : emulator())
		words.push_back(word);
	words.push_back(options.program);
	words.insert(words.end(), args.begin(), args.end());
	Strings env(options.env);
	std::vector<char *> argv, envp;
	for (auto &w : words)
		argv.push_back(w.data());
	for (char **e = environ; *e != nullptr; ++e)
		envp.push_back(*e);
	for (auto &e : env)
		envp.push_back(e.data());
	argv.push_back(nullptr);
	envp.push_back(nullptr);

	std::FILE *out = std::tmpfile(), *err = std::tmpfile();
	if (out == nullptr || err == nullptr)
		die("tmpfile");
	std::fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		int sink = options.output == Output::full_device ? open("/dev/full", O_WRONLY) : fileno(out);
		if (options.output == Output::closed)
			close(1);
		else
			dup2(sink, 1);
		dup2(fileno(err), 2);
		// The program is to see standard input, output and error only, not
		// what the suite inherited from whatever started it.
		closefrom(3);
		execvpe(argv[0], argv.data(), envp.data());
		_exit(126);
	}
	int wstatus;
	if (pid < 0 || waitpid(pid, &wstatus, 0) != pid)
		die("fork");
	int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	return {status, slurp(out), slurp(err)};
}

std::string check(const Case &c, const RunOptions &options)
{
	Result got = run(c.args, options);
	std::string trace;
	for (const auto &a : c.args)
		trace.append("'").append(a, 0, 100).append("' ");
	SCOPED_TRACE(trace);
	EXPECT_EQ(got.status, c.status);
	if (options.output == Output::captured) {
		EXPECT_EQ(got.out, c.out);
	}
	if (c.err != kAnyError) {
		EXPECT_EQ(got.err, c.err);
	}
	return got.err;
}

Strings unprivileged()
{
	if (geteuid() != 0)
		return {};
	return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

Strings fake_clock(const std::string &readings, const std::string &log)
{
	return preloaded({"FAKE_CLOCK=" + readings, "FAKE_CLOCK_LOG=" + log});
}

Strings failing_listing(const std::string &dir, int err)
{
	struct stat st;
	if (stat(dir.c_str(), &st) != 0)
		die("stat " + dir);
	return preloaded({"FAKE_LISTING_FAIL_INODE=" + std::to_string(st.st_ino),
	                  "FAKE_LISTING_ERRNO=" + std::to_string(err)});
}

Strings failing_status(const std::string &name, int err)
{
	return preloaded({"FAKE_STATUS_FAIL_NAME=" + name, "FAKE_STATUS_ERRNO=" + std::to_string(err)});
}

Strings failing_open(const std::string &name, int err)
{
	return preloaded({"FAKE_OPEN_NAME=" + name, "FAKE_OPEN_ERRNO=" + std::to_string(err)});
}

Strings exchange_on_open(const std::string &name, const std::string &a, const std::string &b)
{
	return preloaded({"FAKE_OPEN_NAME=" + name, "FAKE_OPEN_EXCHANGE=" + a, "FAKE_OPEN_EXCHANGE_WITH=" + b});
}

Strings change_on_open(const std::string &name, const Strings &remove, const Strings &create,
                       const Strings &rename, bool after)
{
	auto joined = [](const Strings &paths) {
		std::string list;
		for (const auto &p : paths)
			list += (list.empty() || list.back() == ';' || p == ";" ? "" : ":") + p;
		return list;
	};
	Strings env = preloaded({"FAKE_OPEN_NAME=" + name, "FAKE_OPEN_REMOVE=" + joined(remove),
	                         "FAKE_OPEN_CREATE=" + joined(create), "FAKE_OPEN_RENAME=" + joined(rename)});
	if (after)
		env.push_back("FAKE_OPEN_AFTER=1");
	return env;
}


std::vector<Listed> kernel_listing(const std::string &dir)
{
	struct Record {
		std::uint64_t ino;
		std::int64_t off;
		unsigned short reclen;
		unsigned char type;
		char name[1];
	};
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
	if (fd < 0)
		die("open " + dir);
	std::vector<Listed> names;
	alignas(8) static char buf[32768];
	long long start = 0;
	for (int read = 0;; ++read) {
		long got = syscall(SYS_getdents64, fd, buf, sizeof buf);
		if (got < 0)
			die("getdents64 " + dir);
		if (got == 0)
			break;
		for (long i = 0; i < got;) {
			const auto *r = reinterpret_cast<const Record *>(buf + i);
			if (std::strcmp(r->name, ".") != 0 && std::strcmp(r->name, "..") != 0)
				names.push_back({r->name, start, read});
			start = r->off;
			i += r->reclen;
		}
	}
	close(fd);
	return names;
}

Strings listing(const std::string &dir)
{
	Strings names;
	for (const auto &l : kernel_listing(dir))
		names.push_back(l.name);
	return names;
}

void premise_void(const std::string &row, const std::string &why)
{
	const std::string line = testing::UnitTest::GetInstance()->current_test_info()->name() + (": " + row) + ": " + why + "\n";
	std::printf("[   VOID   ] %s", line.c_str());
	std::fflush(stdout);
	// for the test script's summary
	if (const char *log = std::getenv("TREESTAMP_VOID_LOG")) {
		int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
		if (fd >= 0) {
			(void)!write(fd, line.data(), line.size());
			close(fd);
		}
	}
}

bool on_kernfs(const std::string &dir)
{
	struct statfs fs;
	if (statfs(dir.c_str(), &fs) != 0)
		return false;
	const auto type = static_cast<std::uint32_t>(fs.f_type);
	return type == 0x27e0eb || type == 0x63677270 || type == 0x62656572; // cgroup, cgroup2, sysfs
}

std::string read_file(const std::string &path)
{
	std::FILE *f = std::fopen(path.c_str(), "r");
	return f == nullptr ? std::string() : slurp(f);
}

int count_lines(const std::string &path)
{
	std::string text = read_file(path);
	return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TempDir::TempDir(const std::string &top)
{
	// TMPDIR puts the trees on the file system under test.
	const char *tmpdir = std::getenv("TMPDIR");
	std::string name = !top.empty() ? top : tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
	name += "/treestamp-test-XXXXXX";
	if (mkdtemp(name.data()) == nullptr || chmod(name.c_str(), 0755) != 0)
		die("mkdtemp " + name);
	path_ = name;
}

TempDir::~TempDir()
{
	// kernfs refuses to remove the files it makes, but a directory goes
	// with them.
	std::system(("chmod -R u+rwx '" + path_ + "'; rm -rf '" + path_ + "' 2>/dev/null || find '" + path_ +
	             "' -depth -type d -exec rmdir {} +")
	                .c_str());
}

void make_nodes(const std::string &base, const std::vector<Node> &nodes)
{
	for (const auto &node : nodes) {
		std::string full = base + "/" + node.path;
		int rc = node.kind == Kind::dir    ? mkdir(full.c_str(), 0755)
		         : node.kind == Kind::link ? symlink(node.target.c_str(), full.c_str())
		         : node.kind == Kind::fifo ? mkfifo(full.c_str(), 0644)
		                                   : close(creat(full.c_str(), 0644));
		if (rc != 0)
			die("make " + full);
	}
	for (const auto &node : nodes) {
		struct timespec times[2] = {{node.mtime, 0}, {node.mtime, 0}};
		if (utimensat(AT_FDCWD, (base + "/" + node.path).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
			die("utimensat " + node.path);
	}
}

void set_times_below(const std::string &dir, time_t t)
{
	shell("find '" + dir + "' -mindepth 1 -exec touch -h -d @" + std::to_string(t) + " {} +");
}

void set_times(const std::string &path, const std::string &mtime, const std::string &atime)
{
	// Both times in one call through a reference file: some FUSE file
	// systems ignore a call that sets only one of them.
	shell("ref=$(mktemp -p /tmp) && touch -m -d @" + mtime + " \"$ref\" && touch -a -d @" + atime +
	      " \"$ref\" && touch -h -r \"$ref\" '" + path + "'; rc=$?; rm -f \"$ref\"; exit $rc");
}

std::string TempDir::chain(const std::string &rel, int levels, const std::string &name,
                           time_t base, const std::string &leaf) const
{
	// Relative steps keep every call short however long the whole path
	// grows; times are set in a second pass, once nothing more is created.
	for (int pass = 0; pass < 2; ++pass) {
		int fd = open((*this / rel).c_str(), O_RDONLY | O_DIRECTORY);
		for (int i = 1; i <= levels + !leaf.empty() && fd >= 0; ++i) {
			bool dir = i <= levels;
			const char *step = dir ? name.c_str() : leaf.c_str();
			if (pass == 0 && (dir ? mkdirat(fd, step, 0755) : close(openat(fd, step, O_CREAT, 0644))))
				die("chain");
			int next = openat(fd, step, O_RDONLY);
			struct timespec times[2] = {{base + i, 0}, {base + i, 0}};
			if (pass == 1 && futimens(next, times) != 0)
				die("futimens");
			close(fd);
			fd = next;
		}
		if (fd < 0)
			die("chain");
		close(fd);
	}
	std::string deepest = *this / rel;
	for (int i = 0; i < levels; ++i)
		deepest += "/" + name;
	return leaf.empty() ? deepest : deepest + "/" + leaf;
}

std::string TempDir::program_copy() const
{
	std::string copy = *this / "treestamp";
	shell("cp '" + program() + "' '" + copy + "' && chmod 755 '" + copy + "'");
	return copy;
}
