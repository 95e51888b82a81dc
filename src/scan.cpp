#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#endif

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
// Some systems (Solaris) define it as an unsigned constant.
constexpr int kCwd = static_cast<int>(AT_FDCWD);

// Every level adds a separator and at least one character to the path, so
// the path limit bounds the number of directories open at once.
constexpr std::size_t kMaxDepth = PATH_MAX / 2 + 2;

// What asking a directory for its next entry gave.
enum class Next { entry, end, error };

#if TREESTAMP_GETDENTS
// The kernel's record for one entry. Declared here and read through the
// system call itself: old C libraries have no getdents64 wrapper, and some
// declare no such record.
struct KernelEntry {
	std::uint64_t ino;
	std::int64_t off;
	unsigned short reclen;
	unsigned char type;
	char name[NAME_MAX + 1]; // a record holds only as much of it as the name needs
};

// One kernel read fills at most this much.
constexpr std::size_t kChunk = std::size_t{32} * 1024;
// The largest record a single entry can take, so a read always makes progress.
constexpr std::size_t kEntryMax = (offsetof(KernelEntry, name) + NAME_MAX + 1 + 7) & ~std::size_t{7};
// Every level the path limit allows keeps its largest entry, and the upper
// levels of an ordinary tree get whole chunks.
constexpr std::size_t kScratchSize = 16 * kChunk + kEntryMax * kMaxDepth;

// Reads a directory straight from the kernel into scratch space that deeper
// levels do not touch: they take the space after what this level holds.
class DirReader {
public:
	constexpr DirReader() = default;
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	// Opens name below parent, whose path is path_len bytes long, to be read
	// into scratch; false with errno set when it cannot.
	[[nodiscard]] bool open(int parent, const char *name, std::size_t path_len, char *scratch,
	                        const char *scratch_end)
	{
		int fd = openat(parent, name, kOpenFlags);
		if (fd < 0)
			return false;
		fd_ = fd + 1;
		buf_ = scratch;
		// Leave the largest entry for each level that may still come below
		// this one (each adds at least two bytes to the path).
		cap_ = std::min(kChunk, static_cast<std::size_t>(scratch_end - scratch) -
		                            kEntryMax * ((PATH_MAX - path_len) / 2));
		len_ = pos_ = 0;
		return true;
	}
	// Ends the listing; the reader may then open another directory.
	void close()
	{
		if (fd_ != 0)
			::close(fd());
		fd_ = 0;
	}
	int fd() const { return fd_ - 1; }

	// Hands out the next name in listing order; errno tells an error.
	[[nodiscard]] Next next(const char **name)
	{
		if (pos_ == len_) {
			long got = syscall(SYS_getdents64, fd(), buf_, cap_);
			if (got <= 0)
				return got == 0 ? Next::end : Next::error;
			len_ = static_cast<std::size_t>(got);
			pos_ = 0;
		}
		const auto *entry = reinterpret_cast<const KernelEntry *>(buf_ + pos_);
		pos_ += entry->reclen;
		*name = entry->name;
		return Next::entry;
	}

	// Where the next level's scratch space begins.
	char *unused() const { return buf_ + len_; }

private:
	int fd_ = 0; // one more than the descriptor, so that a closed reader is all zero bytes
	char *buf_ = nullptr;
	std::size_t cap_ = 0;
	std::size_t len_ = 0;
	std::size_t pos_ = 0;
};
#else
constexpr std::size_t kScratchSize = 1;

// Reads a directory through the portable stream interface.
class DirReader {
public:
	constexpr DirReader() = default;
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	// Opens name below parent; false with errno set when it cannot.
	[[nodiscard]] bool open(int parent, const char *name, std::size_t, char *scratch, const char *)
	{
		int fd = openat(parent, name, kOpenFlags);
		if (fd < 0)
			return false;
		dir_ = fdopendir(fd);
		if (dir_ == nullptr) {
			int err = errno;
			::close(fd);
			errno = err;
			return false;
		}
		scratch_ = scratch;
		return true;
	}
	// Ends the listing; the reader may then open another directory.
	void close()
	{
		if (dir_ != nullptr)
			closedir(dir_);
		dir_ = nullptr;
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
	char *scratch_ = nullptr;
};
#endif

// One open directory of the walk: its reader, the length of its path, and
// where its entries' names go in the buffer, after the separator.
struct Level {
	DirReader dir;
	std::size_t len = 0;
	std::size_t base = 0;
};

// The directories open from the root down to the one being read. Static, as
// are the path buffer and the scratch space: the walk's stack use does not
// grow with its depth, so no stack limit can end it, and nothing is taken
// from the heap. All zero bytes and no destructor, so that a run that opens
// no directory touches none of it; what is open when the run ends early is
// closed by the process end.
constinit Level levels[kMaxDepth];
char path[PATH_MAX + 1]; // the longest path plus the separator added after a directory's
alignas(8) char scratch[kScratchSize];

// What every step of the walk shares: the cells it raises and tests.
struct Cells {
	time_t *newest;
	time_t *threshold;
	time_t *window;
};

// Counts one status's time; true when it is a directory to enter.
bool count(const struct stat &st, const Cells &c)
{
	if (st.st_mtime > *c.newest) {
		*c.newest = st.st_mtime;
		check_young_enough(c.newest, c.threshold, c.window);
	}
	return S_ISDIR(st.st_mode);
}

// True when err says that what was listed exists no more: it was removed,
// or it was the file of a process that has since exited (ESRCH, in /proc).
bool vanished(int err)
{
	return err == ENOENT || err == ESRCH;
}

// Takes the status of an entry whose built path is in the buffer; true when
// it is a directory to enter.
bool examine(const Cells &c, int dir, const char *name)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
		// No longer part of the tree; its removal is its directory's own change.
		if (vanished(errno))
			return false;
		fail(Status::unexaminable, errno, "Cannot stat() file %s: ", path);
	}
	return count(st, c);
}

// True when the directory open on dir (-1 if it would not open) lists as
// /proc does.
bool on_proc(int dir)
{
#ifdef __linux__
	struct statfs fs;
	return dir >= 0 && fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
#else
	(void)dir;
	return false;
#endif
}

// True when a directory that failed to open (dir is -1) or to list is
// skipped, its own time and the entries handed out before counted:
// - EACCES, EPERM: it refuses us, as parts of /proc do;
// - vanished: it was removed, or its process exited, since it was listed;
// - ENOTDIR, ELOOP: it was replaced by something that is no directory;
// - EINVAL from a /proc listing: the process whose directory it is has
//   exited and taken its network namespace with it.
// Any other cause would silently drop a subtree and print a wrong time.
bool skippable(int err, int dir)
{
	return err == EACCES || err == EPERM || vanished(err) || err == ENOTDIR || err == ELOOP ||
	       (err == EINVAL && on_proc(dir));
}

// Opens the directory name below parent, whose path (len bytes) is in the
// buffer, as the given level, and puts the separator for its entries after
// that path; false when it is skipped.
bool enter(Level &level, int parent, const char *name, std::size_t len, char *room)
{
	if (!level.dir.open(parent, name, len, room, scratch + kScratchSize)) {
		if (skippable(errno, -1))
			return false;
		fail(Status::unexaminable, errno, "Cannot open directory %s: ", path);
	}
	level.len = level.base = len;
	if (path[len - 1] != '/')
		path[level.base++] = '/';
	return true;
}

// Walks everything below the directory whose path (len bytes) is in the
// buffer, depth first, each directory before its entries, in listing order.
void walk(const Cells &c, std::size_t len)
{
	std::size_t depth = 0;
	if (!enter(levels[0], kCwd, path, len, scratch))
		return;
	for (;;) {
		Level &level = levels[depth];
		const std::size_t base = level.base;
		const char *entry;
		Next got = level.dir.next(&entry);
		if (got != Next::entry) {
			int err = errno;
			if (got == Next::error && !skippable(err, level.dir.fd())) {
				path[level.len] = '\0';
				fail(Status::unexaminable, err, "Cannot read directory %s: ", path);
			}
			level.dir.close();
			if (depth == 0)
				return;
			--depth;
			continue;
		}
		if (entry[0] == '.' && (entry[1] == '\0' || (entry[1] == '.' && entry[2] == '\0')))
			continue;
		std::size_t n = std::strlen(entry);
		// Refused as the status call on the whole path would refuse it; this
		// bounds the depth and keeps every printed path usable.
		if (base + n >= PATH_MAX)
			fail(Status::unexaminable, ENAMETOOLONG, "Cannot stat() file %.*s%s: ",
			     static_cast<int>(base), path, entry);
		std::memcpy(path + base, entry, n + 1);
		if (examine(c, level.dir.fd(), entry) &&
		    enter(levels[depth + 1], level.dir.fd(), entry, base + n, level.dir.unused()))
			++depth;
	}
}

} // namespace

time_t tree_stamp(const char *root, time_t *newest, time_t *threshold, time_t *window)
{
	const Cells c{newest, threshold, window};
	struct stat st;
	if (lstat(root, &st) != 0)
		fail(Status::unexaminable, errno, "Cannot stat() file %s: ", root);
	if (!count(st, c))
		return *newest;
	std::size_t len = std::strlen(root);
	if (len >= PATH_MAX)
		fail(Status::unexaminable, ENAMETOOLONG, "Cannot stat() file %s: ", root);
	std::memcpy(path, root, len + 1);
	walk(c, len);
	return *newest;
}
