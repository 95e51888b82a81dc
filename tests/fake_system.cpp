// Stand-ins for system calls, preloaded into the program under test:
// - the clock: FAKE_CLOCK is "fail" or readings separated by commas (the last
//   repeats); every reading appends a line to the file FAKE_CLOCK_LOG;
// - directory listing: reading the directory whose serial number is
//   FAKE_LISTING_FAIL_INODE fails with the errno FAKE_LISTING_ERRNO.
#include <cerrno>
#include <cstdlib>
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
extern "C" ssize_t getdents64(int fd, void *buffer, size_t size)
{
	if (listing_fails(fd))
		return -1;
	return syscall(SYS_getdents64, fd, buffer, size);
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
