// Stand-ins for system calls, preloaded into the program under test:
// - the clock: FAKE_CLOCK is "fail" or readings separated by commas (the last
//   repeats); every reading appends a line to the file FAKE_CLOCK_LOG;
// - directory listing: reading the directory whose serial number is
//   FAKE_LISTING_FAIL_INODE fails with the errno FAKE_LISTING_ERRNO;
// - entry status: the status call on an entry named FAKE_STATUS_FAIL_NAME,
//   relative to its directory, fails with the errno FAKE_STATUS_ERRNO;
// - opening: where FAKE_OPEN_NAME names what is opened (alone, or as the
//   last part of a path; with a slash, the whole path), the open fails with
//   the errno FAKE_OPEN_ERRNO, or else the tree changes before it (after
//   it, where FAKE_OPEN_AFTER is set): at the first such open the paths
//   listed in FAKE_OPEN_REMOVE (separated by colons) are removed, those
//   paired in FAKE_OPEN_RENAME (from>to) renamed in order, empty files
//   timed 1 are made at those in FAKE_OPEN_CREATE (directories, where they
//   end in a slash), and the paths FAKE_OPEN_EXCHANGE and
//   FAKE_OPEN_EXCHANGE_WITH trade places; at the second, what follows a
//   semicolon in each list, and so on. Nothing of it takes a descriptor,
//   which the program may have none of to spare.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// True, with errno set, when listing the directory open on fd is to fail.
static bool listing_fails(int fd)
{
	const char *inode = std::getenv("FAKE_LISTING_FAIL_INODE");
	struct stat st;
	if (inode == nullptr || fstat(fd, &st) != 0 ||
	    st.st_ino != static_cast<ino_t>(std::strtoull(inode, nullptr, 10)))
		return false;
	errno = std::atoi(std::getenv("FAKE_LISTING_ERRNO"));
	return true;
}

#ifdef __linux__
// The program reads directories through the system call itself.
extern "C" long syscall(long number, ...)
{
	va_list ap;
	va_start(ap, number);
	long args[6];
	for (long &arg : args)
		arg = va_arg(ap, long);
	va_end(ap);
	if (number == SYS_getdents64 && listing_fails(static_cast<int>(args[0])))
		return -1;
	using Syscall = long (*)(long, ...);
	static auto real = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
	return real(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}
#endif

extern "C" struct dirent *readdir(DIR *dir)
{
	using Readdir = struct dirent *(*)(DIR *);
#ifdef __USE_FILE_OFFSET64
	// The large-file build calls this under the name readdir64; plain
	// readdir would hand back the narrow record, or fail on a wide offset.
	static auto real = reinterpret_cast<Readdir>(dlsym(RTLD_NEXT, "readdir64"));
#else
	static auto real = reinterpret_cast<Readdir>(dlsym(RTLD_NEXT, "readdir"));
#endif
	if (listing_fails(dirfd(dir)))
		return nullptr;
	return real(dir);
}

// Declared by the C library's header under the symbol that the program calls
// (the large-file or 64-bit-time variant), so this replaces that one.
extern "C" int fstatat(int dir, const char *name, struct stat *st, int flags)
{
	using Fstatat = int (*)(int, const char *, struct stat *, int);
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
	static auto real = reinterpret_cast<Fstatat>(dlsym(RTLD_NEXT, "__fstatat64_time64"));
#elif defined(__USE_FILE_OFFSET64)
	static auto real = reinterpret_cast<Fstatat>(dlsym(RTLD_NEXT, "fstatat64"));
#else
	static auto real = reinterpret_cast<Fstatat>(dlsym(RTLD_NEXT, "fstatat"));
#endif
	const char *fails = std::getenv("FAKE_STATUS_FAIL_NAME");
	if (fails != nullptr && std::strcmp(name, fails) == 0) {
		errno = std::atoi(std::getenv("FAKE_STATUS_ERRNO"));
		return -1;
	}
	return real(dir, name, st, flags);
}

// Calls act on each path of the colon-separated list in group (counted from
// 0) of the semicolon-separated groups in the variable var.
static void each_path(const char *var, int group, int (*act)(const char *))
{
	const char *p = std::getenv(var);
	for (; p != nullptr && group > 0; --group)
		if ((p = std::strchr(p, ';')) != nullptr)
			++p;
	while (p != nullptr && *p != '\0' && *p != ';') {
		std::size_t n = std::strcspn(p, ":;");
		char path[PATH_MAX];
		if (n < sizeof path) {
			std::memcpy(path, p, n);
			path[n] = '\0';
			(void)act(path);
		}
		p += n + (p[n] == ':');
	}
}

// Makes an empty file, or a directory where path ends in a slash, timed 1.
static int make_old_entry(const char *path)
{
	const struct timespec times[2] = {{1, 0}, {1, 0}};
	const std::size_t n = std::strlen(path);
	if (n > 0 && path[n - 1] == '/' ? mkdir(path, 0755) != 0 : mknod(path, S_IFREG | 0644, 0) != 0)
		return -1;
	return utimensat(AT_FDCWD, path, times, 0);
}

// Renames the from>to pair.
static int rename_pair(const char *pair)
{
	const char *to = std::strchr(pair, '>');
	if (to == nullptr)
		return -1;
	char from[PATH_MAX];
	std::memcpy(from, pair, static_cast<std::size_t>(to - pair));
	from[to - pair] = '\0';
	return std::rename(from, to + 1);
}

// Changes the tree as group (counted from 0) of FAKE_OPEN_REMOVE, _RENAME
// and _CREATE say, and the first time as _EXCHANGE says.
static void change_tree(int group)
{
	each_path("FAKE_OPEN_REMOVE", group, std::remove);
	each_path("FAKE_OPEN_RENAME", group, rename_pair);
	each_path("FAKE_OPEN_CREATE", group, make_old_entry);
	const char *a = std::getenv("FAKE_OPEN_EXCHANGE");
	if (a != nullptr && group == 0)
		(void)renameat2(AT_FDCWD, a, AT_FDCWD, std::getenv("FAKE_OPEN_EXCHANGE_WITH"), RENAME_EXCHANGE);
}

// Declared by the C library's header under the symbol that the program
// calls (the large-file variant, where there is one), as fstatat below is.
extern "C" int openat(int dir, const char *name, int flags, ...)
{
	using Openat = int (*)(int, const char *, int, ...);
#ifdef __USE_FILE_OFFSET64
	static auto real = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat64"));
#else
	static auto real = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
#endif
	mode_t mode = 0;
	if ((flags & O_CREAT) != 0) {
		va_list ap;
		va_start(ap, flags);
		mode = static_cast<mode_t>(va_arg(ap, int));
		va_end(ap);
	}
	const char *want = std::getenv("FAKE_OPEN_NAME");
	const char *last = std::strrchr(name, '/');
	if (want == nullptr || std::strcmp(std::strchr(want, '/') != nullptr || last == nullptr ? name : last + 1, want) != 0)
		return real(dir, name, flags, mode);
	if (const char *err = std::getenv("FAKE_OPEN_ERRNO")) {
		errno = std::atoi(err);
		return -1;
	}
	// An open that fails for want of a descriptor is tried again, as the
	// same occurrence: its change is made once.
	static int opened = 0, changed = 0;
	const bool after = std::getenv("FAKE_OPEN_AFTER") != nullptr;
	if (!after && changed == opened)
		change_tree(changed++);
	int fd = real(dir, name, flags, mode);
	int err = errno;
	if (fd >= 0 && after)
		change_tree(changed++);
	opened += fd >= 0 || (err != EMFILE && err != ENFILE);
	errno = err;
	return fd;
}
