#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "front.h"

#if defined(__linux__) && !defined(TREESTAMP_READDIR)
#define TREESTAMP_GETDENTS 1
#else
#define TREESTAMP_GETDENTS 0
#endif

void check_young_enough(const time_t *newest, time_t *threshold, const time_t *window)
{
	if (*threshold <= 0 || *threshold >= *newest)
		return;
	if (*window < 1)
		print_time_and_exit(*newest);
	// Relative mode: the threshold follows the clock, read only for a candidate
	// that passed the cheap tests; keeping the fresh value spares later reads.
	*threshold = get_time() - *window;
	if (*newest > *threshold)
		print_time_and_exit(*newest);
}

namespace {

// Never follow a link: an entry swapped for one after its status was taken is
// treated like a directory that vanished.
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// What asking a directory for its next entry gave.
enum class Next { entry, end, error };

#if TREESTAMP_GETDENTS
// One kernel read fills at most this much.
constexpr std::size_t kChunk = std::size_t{32} * 1024;
// The largest record a single entry can take, so a read always makes progress.
constexpr std::size_t kEntryMax = (offsetof(struct dirent64, d_name) + NAME_MAX + 1 + 7) & ~std::size_t{7};
// Every level the path limit allows keeps its largest entry (one more for a
// root given with a trailing separator, whose entries add only their names),
// and the upper levels of an ordinary tree get whole chunks.
constexpr std::size_t kScratchSize = 16 * kChunk + kEntryMax * (PATH_MAX / 2 + 2);

// Reads a directory straight from the kernel into scratch space that deeper
// levels do not touch: they take the space after what this level holds.
class DirReader {
public:
	DirReader(char *scratch, const char *scratch_end, std::size_t path_len)
	    : buf_(scratch),
	      // Leave the largest entry for each level that may still come below
	      // this one (each adds at least two bytes to the path).
	      cap_(std::min(kChunk, static_cast<std::size_t>(scratch_end - scratch) -
	                                kEntryMax * ((PATH_MAX - path_len) / 2)))
	{
	}
	~DirReader()
	{
		if (fd_ >= 0)
			close(fd_);
	}
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	// Opens name below parent; false with errno set when it cannot.
	[[nodiscard]] bool open(int parent, const char *name)
	{
		fd_ = openat(parent, name, kOpenFlags);
		return fd_ >= 0;
	}
	int fd() const { return fd_; }

	// Hands out the next name in listing order; errno tells an error.
	[[nodiscard]] Next next(const char **name)
	{
		if (pos_ == len_) {
			ssize_t got = getdents64(fd_, buf_, cap_);
			if (got <= 0)
				return got == 0 ? Next::end : Next::error;
			len_ = static_cast<std::size_t>(got);
			pos_ = 0;
		}
		const auto *entry = reinterpret_cast<const struct dirent64 *>(buf_ + pos_);
		pos_ += entry->d_reclen;
		*name = entry->d_name;
		return Next::entry;
	}

	// Where the next level's scratch space begins.
	char *unused() const { return buf_ + len_; }

private:
	int fd_ = -1;
	char *buf_;
	std::size_t cap_;
	std::size_t len_ = 0;
	std::size_t pos_ = 0;
};
#else
constexpr std::size_t kScratchSize = 1;

// Reads a directory through the portable stream interface.
class DirReader {
public:
	DirReader(char *scratch, const char *, std::size_t) : scratch_(scratch) {}
	~DirReader()
	{
		if (dir_ != nullptr)
			closedir(dir_);
	}
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	// Opens name below parent; false with errno set when it cannot.
	[[nodiscard]] bool open(int parent, const char *name)
	{
		int fd = openat(parent, name, kOpenFlags);
		if (fd < 0)
			return false;
		dir_ = fdopendir(fd);
		if (dir_ == nullptr) {
			int err = errno;
			close(fd);
			errno = err;
			return false;
		}
		return true;
	}
	int fd() const { return dirfd(dir_); }

	// Hands out the next name in listing order; errno tells an error.
	[[nodiscard]] Next next(const char **name)
	{
		errno = 0;
		const struct dirent *entry = readdir(dir_);
		if (entry == nullptr)
			return errno == 0 ? Next::end : Next::error;
		*name = entry->d_name;
		return Next::entry;
	}

	char *unused() const { return scratch_; }

private:
	DIR *dir_ = nullptr;
	char *scratch_;
};
#endif

// What every level of the walk shares: the one path buffer, the cells and the scratch end.
struct Walk {
	char *path;
	time_t *newest;
	time_t *threshold;
	time_t *window;
	const char *scratch_end;
};

// Counts one status's time; true when it is a directory to enter.
bool count(const struct stat &st, const Walk &w)
{
	if (st.st_mtime > *w.newest) {
		*w.newest = st.st_mtime;
		check_young_enough(w.newest, w.threshold, w.window);
	}
	return S_ISDIR(st.st_mode);
}

// Takes the status of an entry whose built path is in the buffer; kept out of
// line so the status record is not part of every level's frame.
[[gnu::noinline]] bool examine(const Walk &w, int dir, const char *name)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		fail(Status::unexaminable, errno, "Cannot stat() file %s: ", w.path);
	return count(st, w);
}

// True when a directory that failed to open or to list is to be skipped: it
// refuses us, or it is gone or replaced since its status was taken. Its own
// time has counted; any other cause would silently drop a subtree and print
// a wrong time.
bool skippable(int err)
{
	return err == EACCES || err == EPERM || err == ENOENT || err == ENOTDIR || err == ELOOP;
}

// Walks the directory name below parent, whose path (len bytes) is in the buffer.
void walk_dir(const Walk &w, int parent, const char *name, std::size_t len, char *scratch)
{
	DirReader dir(scratch, w.scratch_end, len);
	if (!dir.open(parent, name)) {
		if (skippable(errno))
			return;
		fail(Status::unexaminable, errno, "Cannot open directory %s: ", w.path);
	}
	std::size_t base = len;
	if (w.path[len - 1] != '/')
		w.path[base++] = '/';
	const char *entry;
	Next got;
	while ((got = dir.next(&entry)) == Next::entry) {
		if (entry[0] == '.' && (entry[1] == '\0' || (entry[1] == '.' && entry[2] == '\0')))
			continue;
		std::size_t n = std::strlen(entry);
		// Refused as the status call on the whole path would refuse it; this
		// bounds depth, stack and descriptors, and keeps every printed path usable.
		if (base + n >= PATH_MAX)
			fail(Status::unexaminable, ENAMETOOLONG, "Cannot stat() file %.*s%s: ",
			     static_cast<int>(base), w.path, entry);
		std::memcpy(w.path + base, entry, n + 1);
		if (examine(w, dir.fd(), entry))
			walk_dir(w, dir.fd(), entry, base + n, dir.unused());
	}
	// The same causes as at the open: /proc refuses some listings, and a
	// directory removed while open lists as ENOENT, which the C library's
	// readdir, too, reports as the end. What was handed out has counted.
	if (got == Next::error && !skippable(errno)) {
		int err = errno;
		w.path[len] = '\0';
		fail(Status::unexaminable, err, "Cannot read directory %s: ", w.path);
	}
}

} // namespace

time_t tree_stamp(const char *path, time_t *newest, time_t *threshold, time_t *window)
{
	// Room for the longest path plus the separator added after a directory's path.
	char buf[PATH_MAX + 1];
	// Static, not on the stack: each level's frame stays small, so the path
	// limit rather than the stack bounds the depth.
	alignas(8) static char scratch[kScratchSize];
	const Walk w{buf, newest, threshold, window, scratch + kScratchSize};

	struct stat st;
	if (lstat(path, &st) != 0)
		fail(Status::unexaminable, errno, "Cannot stat() file %s: ", path);
	if (!count(st, w))
		return *newest;
	std::size_t len = std::strlen(path);
	if (len >= PATH_MAX)
		fail(Status::unexaminable, ENAMETOOLONG, "Cannot stat() file %s: ", path);
	std::memcpy(buf, path, len + 1);
	walk_dir(w, AT_FDCWD, path, len, scratch);
	return *newest;
}
