#include "harness.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

[[noreturn]] void die(const std::string &what)
{
	throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string slurp(std::FILE *f)
{
	std::string text;
	std::rewind(f);
	char chunk[4096];
	size_t n;
	while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
		text.append(chunk, n);
	std::fclose(f);
	return text;
}

void set_limit(int resource, rlim_t soft, rlim_t hard)
{
	struct rlimit limit = {soft, hard};
	if (setrlimit(resource, &limit) != 0)
		_exit(125);
}

} // namespace

bool running_as_root()
{
	return geteuid() == 0;
}

Result run(const std::vector<std::string> &args, const RunOptions &options)
{
	std::string program = options.program.empty() ? TREESTAMP_BINARY : options.program;
	std::vector<char *> argv{program.data()};
#ifdef TREESTAMP_EMULATOR
	std::string emulator = TREESTAMP_EMULATOR;
	argv.insert(argv.begin(), emulator.data());
#endif
	std::vector<std::string> owned(args);
	for (auto &arg : owned)
		argv.push_back(arg.data());
	argv.push_back(nullptr);
	std::vector<std::string> env_owned(options.env);
	std::vector<char *> envp;
	for (char **e = environ; *e != nullptr; ++e)
		envp.push_back(*e);
	for (auto &e : env_owned)
		envp.push_back(e.data());
	envp.push_back(nullptr);

	std::FILE *out = std::tmpfile();
	std::FILE *err = std::tmpfile();
	if (out == nullptr || err == nullptr)
		die("tmpfile");
	// The program must see only standard input, output and error.
	fcntl(fileno(out), F_SETFD, FD_CLOEXEC);
	fcntl(fileno(err), F_SETFD, FD_CLOEXEC);
	std::fflush(nullptr);
	pid_t pid = fork();
	if (pid < 0)
		die("fork");
	if (pid == 0) {
		int sink = fileno(out);
		if (options.output == Output::full_device)
			sink = open("/dev/full", O_WRONLY);
		if (options.output == Output::closed)
			close(1);
		else if (dup2(sink, 1) < 0)
			_exit(125);
		if (dup2(fileno(err), 2) < 0)
			_exit(125);
		if (options.nofile_hard != 0)
			set_limit(RLIMIT_NOFILE, options.nofile_soft, options.nofile_hard);
		if (options.stack != 0)
			set_limit(RLIMIT_STACK, options.stack, options.stack);
		if (options.unprivileged && running_as_root() &&
		    (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
			_exit(125);
		execve(argv[0], argv.data(), envp.data());
		_exit(126);
	}
	int wstatus;
	if (waitpid(pid, &wstatus, 0) != pid)
		die("waitpid");
	int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	return {status, slurp(out), slurp(err)};
}

// The sanitizer runtime insists on coming first; the stand-ins must, too.
#define PRELOAD_FAKES "LD_PRELOAD=" FAKE_SYSTEM_MODULE, "ASAN_OPTIONS=verify_asan_link_order=0"

std::vector<std::string> fake_clock(const std::string &readings, const std::string &log)
{
	return {PRELOAD_FAKES, "FAKE_CLOCK=" + readings, "FAKE_CLOCK_LOG=" + log};
}

std::vector<std::string> failing_listing(const std::string &dir)
{
	struct stat st;
	if (stat(dir.c_str(), &st) != 0)
		die("stat " + dir);
	return {PRELOAD_FAKES, "FAKE_LISTING_FAIL_INODE=" + std::to_string(st.st_ino)};
}

int count_lines(const std::string &path)
{
	std::FILE *f = std::fopen(path.c_str(), "r");
	if (f == nullptr)
		return 0;
	int lines = 0;
	for (int c; (c = std::fgetc(f)) != EOF;)
		lines += c == '\n';
	std::fclose(f);
	return lines;
}

TempDir::TempDir()
{
	char name[] = "/tmp/treestamp-test-XXXXXX";
	if (mkdtemp(name) == nullptr || chmod(name, 0755) != 0)
		die("mkdtemp");
	path_ = name;
}

TempDir::~TempDir()
{
	// Deep chains outgrow the path limit of rm's own helpers only past it;
	// rm handles what the tests build, including unreadable directories.
	std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
	if (std::system(command.c_str()) != 0)
		std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

void TempDir::make(const std::vector<Node> &nodes) const
{
	for (const auto &node : nodes) {
		std::string full = *this / node.path;
		int rc = 0;
		switch (node.kind) {
		case Kind::file: {
			int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
			rc = fd < 0 ? -1 : close(fd);
			break;
		}
		case Kind::dir: rc = mkdir(full.c_str(), 0755); break;
		case Kind::link: rc = symlink(node.target.c_str(), full.c_str()); break;
		case Kind::fifo: rc = mkfifo(full.c_str(), 0644); break;
		}
		if (rc != 0)
			die("make " + full);
	}
	for (const auto &node : nodes)
		touch(node.path, node.mtime);
}

std::string TempDir::chain(const std::string &rel, int levels, const std::string &name,
                           time_t base, const std::string &leaf) const
{
	// Relative steps keep every call short however long the whole path grows;
	// times are set in a second pass, once nothing more is created.
	for (int pass = 0; pass < 2; ++pass) {
		int fd = open((*this / rel).c_str(), O_RDONLY | O_DIRECTORY);
		for (int i = 1; fd >= 0 && i <= levels; ++i) {
			if (pass == 0 && mkdirat(fd, name.c_str(), 0755) != 0)
				die("mkdirat");
			int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
			close(fd);
			fd = next;
			struct timespec times[2] = {{base + i, 0}, {base + i, 0}};
			if (pass == 1 && fd >= 0 && futimens(fd, times) != 0)
				die("futimens");
		}
		if (fd < 0)
			die("chain");
		if (!leaf.empty()) {
			int file = openat(fd, leaf.c_str(), O_WRONLY | O_CREAT, 0644);
			struct timespec times[2] = {{base + levels + 1, 0}, {base + levels + 1, 0}};
			if (file < 0 || (pass == 1 && futimens(file, times) != 0))
				die("leaf");
			close(file);
		}
		close(fd);
	}
	std::string deepest = *this / rel;
	for (int i = 0; i < levels; ++i)
		deepest += "/" + name;
	return leaf.empty() ? deepest : deepest + "/" + leaf;
}

void TempDir::touch(const std::string &rel, time_t mtime, time_t atime) const
{
	struct timespec times[2] = {{atime, 0}, {mtime, 0}};
	if (utimensat(AT_FDCWD, (*this / rel).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
		die("utimensat " + rel);
}

void TempDir::touch_wide(const std::string &rel, long long mtime, long long atime) const
{
	std::string path = "'" + *this / rel + "'";
	std::string command = "touch -h -m -d @" + std::to_string(mtime) + " " + path +
	                      " && touch -h -a -d @" + std::to_string(atime) + " " + path;
	if (std::system(command.c_str()) != 0)
		die("touch " + rel);
}

std::string TempDir::program_copy() const
{
	std::string copy = *this / "treestamp";
	std::string command = std::string("cp '") + TREESTAMP_BINARY + "' '" + copy + "'";
	if (std::system(command.c_str()) != 0 || chmod(copy.c_str(), 0755) != 0)
		die("copy program");
	return copy;
}
