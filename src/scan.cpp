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
// the path limit bounds the depth of the walk.
constexpr std::size_t kMaxDepth = PATH_MAX / 2 + 2;
static_assert(PATH_MAX < 65536, "path lengths are kept in 16 bits");

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
// The largest record a single entry can take.
constexpr std::size_t kEntryMax = (offsetof(KernelEntry, name) + NAME_MAX + 1 + 7) & ~std::size_t{7};
// What every level's buffered entries share, each level's after those of
// the levels above it: enough for two full reads, which ordinary trees
// never outgrow, since a level whose entries have all been handed out
// leaves its room to the levels below.
constexpr std::size_t kScratchSize = 2 * kChunk;
// A level gets at least this much room, or the levels above drop theirs;
// at least one record, so that a read always makes progress.
constexpr std::size_t kMinRoom = kChunk / 4;
static_assert(kMinRoom >= kEntryMax);

alignas(8) char scratch[kScratchSize];

// Reads a directory straight from the kernel into the scratch space, after
// what the levels above it still hold there.
class DirReader {
public:
	constexpr DirReader() = default;
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	// Opens name below parent; false with errno set when it cannot.
	[[nodiscard]] bool open(int parent, const char *name)
	{
		int fd = openat(parent, name, kOpenFlags);
		if (fd < 0)
			return false;
		fd_ = fd + 1;
		return true;
	}
	// Starts the listing of the directory just opened.
	void begin()
	{
		lo_ = hi_ = 0;
		off_ = 0;
		seek_ = false;
	}
	bool held() const { return fd_ != 0; }
	int fd() const { return fd_ - 1; }
	// Lets go of the descriptor and the buffered entries; once the directory
	// is open again, the listing goes on where it was.
	void release()
	{
		::close(fd());
		fd_ = 0;
		lo_ = hi_ = 0;
		seek_ = true;
	}
	// Drops the buffered entries, to be read again from where they began.
	void drop()
	{
		if (lo_ != hi_)
			seek_ = true;
		lo_ = hi_ = 0;
	}
	// Ends the listing; the reader may then open another directory.
	void close()
	{
		if (fd_ != 0)
			::close(fd());
		fd_ = 0;
	}

	// Hands out the next name in listing order, reading more into the
	// scratch space from room on when none is left; errno tells an error.
	[[nodiscard]] Next next(const char **name, std::size_t room)
	{
		if (lo_ == hi_) {
			if (seek_ && lseek(fd(), off_, SEEK_SET) < 0)
				return Next::error;
			seek_ = false;
			long got = syscall(SYS_getdents64, fd(), scratch + room, std::min(kChunk, kScratchSize - room));
			if (got <= 0)
				return got == 0 ? Next::end : Next::error;
			lo_ = static_cast<std::uint32_t>(room);
			hi_ = lo_ + static_cast<std::uint32_t>(got);
		}
		const auto *entry = reinterpret_cast<const KernelEntry *>(scratch + lo_);
		lo_ += entry->reclen;
		off_ = entry->off;
		if (lo_ == hi_) // all handed out: the levels below may have its room
			lo_ = hi_ = static_cast<std::uint32_t>(room);
		*name = entry->name;
		return Next::entry;
	}

	// Where the next level's buffered entries may begin.
	std::size_t unused() const { return hi_; }
	// True when a level whose entries begin at room has enough of it.
	static bool fits(std::size_t room) { return kScratchSize - room >= kMinRoom; }

private:
	std::int64_t off_ = 0; // the kernel's offset after the last entry handed out
	int fd_ = 0;           // one more than the descriptor, so that a closed reader is all zero bytes
	std::uint32_t lo_ = 0, hi_ = 0; // its entries not yet handed out
	bool seek_ = false;    // the kernel's offset is no longer off_
};
#else
// Reads a directory through the portable stream interface.
class DirReader {
public:
	constexpr DirReader() = default;
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
			::close(fd);
			errno = err;
			return false;
		}
		return true;
	}
	// Starts the listing of the directory just opened.
	void begin()
	{
		count_ = 0;
		seek_ = false;
	}
	bool held() const { return dir_ != nullptr; }
	int fd() const { return dirfd(dir_); }
	// Lets go of the stream; once the directory is open again, the listing
	// goes on where it was.
	void release()
	{
		closedir(dir_);
		dir_ = nullptr;
		seek_ = true;
	}
	void drop() {}
	// Ends the listing; the reader may then open another directory.
	void close()
	{
		if (dir_ != nullptr)
			closedir(dir_);
		dir_ = nullptr;
	}

	// Hands out the next name in listing order; errno tells an error.
	[[nodiscard]] Next next(const char **name, std::size_t)
	{
		// A position is good only in the stream that gave it, so a stream
		// opened again passes over as many entries as were handed out.
		for (std::size_t i = 0; seek_ && i < count_; ++i) {
			errno = 0;
			if (readdir(dir_) == nullptr)
				return errno == 0 ? Next::end : Next::error;
		}
		seek_ = false;
		errno = 0;
		const struct dirent *entry = readdir(dir_);
		if (entry == nullptr)
			return errno == 0 ? Next::end : Next::error;
		++count_;
		*name = entry->d_name;
		return Next::entry;
	}

	std::size_t unused() const { return 0; }
	static bool fits(std::size_t) { return true; }

private:
	DIR *dir_ = nullptr;
	std::size_t count_ = 0; // entries handed out
	bool seek_ = false;     // a new stream, not yet where the old one was
};
#endif

// One directory of the walk, from the root down to the one being read: its
// reader; its identity when it was examined, to know it again when it is
// opened anew; the length of its path, and where its entries' names go in
// the buffer, after the separator.
struct Level {
	DirReader dir;
	dev_t dev = 0;
	ino_t ino = 0;
	std::uint16_t len = 0;
	std::uint16_t base = 0;
};

// The directories from the root down to the one being read. Static, as are
// the path buffer and the scratch space: the walk's stack use does not grow
// with its depth, so no stack limit can end it, and nothing is taken from
// the heap. All zero bytes and no destructor, so that a run that opens no
// directory touches none of it; what is open when the run ends early is
// closed by the process end.
constinit Level levels[kMaxDepth];
char path[PATH_MAX + 1]; // the longest path plus the separator added after a directory's
// How many levels, from the root down, have let go of their directories:
// always the shallowest, so that those the walk returns to soonest stay open.
constinit std::size_t released = 0;

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

// Takes the status of an entry whose built path is in the buffer into st;
// true when it is a directory to enter.
bool examine(const Cells &c, int dir, const char *name, struct stat &st)
{
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

// Where the entries of the level at depth may go in the scratch space:
// after those that the levels above still hold.
std::size_t room_for(std::size_t depth)
{
	return depth > 0 ? levels[depth - 1].dir.unused() : 0;
}

// True when err says the system has no descriptor, or no memory for a
// stream, to spare: another level letting go of its own makes room.
bool short_of_resources(int err)
{
	return err == EMFILE || err == ENFILE || err == ENOMEM;
}

// True when the directory just opened for level is the one examined there;
// closed when it is not.
bool same_directory(Level &level)
{
	struct stat st;
	if (fstat(level.dir.fd(), &st) != 0)
		fail(Status::unexaminable, errno, "Cannot stat() file %s: ", path);
	if (st.st_dev == level.dev && st.st_ino == level.ino)
		return true;
	level.dir.close();
	return false;
}

// Opens the directory of the level at depth, whose path is in the buffer:
// by name below the level above while that holds its own, else by the whole
// path, then checked (unless check is false) to be the one examined. While
// the system is short of resources, the shallowest levels let go of theirs.
// False when it is skipped: it refuses us, vanished or was replaced.
bool open_level(std::size_t depth, const char *name, bool check)
{
	Level &level = levels[depth];
	for (;;) {
		const bool by_path = depth == 0 || !levels[depth - 1].dir.held();
		if (level.dir.open(by_path ? kCwd : levels[depth - 1].dir.fd(), by_path ? path : name))
			return !(by_path && check) || same_directory(level);
		if (!short_of_resources(errno) || released >= depth)
			break;
		levels[released++].dir.release();
	}
	if (skippable(errno, -1))
		return false;
	fail(Status::unexaminable, errno, "Cannot open directory %s: ", path);
}

// Opens the directory examined as st, whose path (len bytes) is in the
// buffer, as the level at depth, below name in the level above, and puts
// the separator for its entries after that path; false when it is skipped.
bool enter(std::size_t depth, const char *name, std::size_t len, const struct stat &st)
{
	Level &level = levels[depth];
	level.dev = st.st_dev;
	level.ino = st.st_ino;
	if (!open_level(depth, name, depth > 0))
		return false;
	// Its entries go after those the levels above still hold; where that
	// leaves too little room, theirs are dropped, to be read again later.
	if (!DirReader::fits(room_for(depth)))
		for (std::size_t i = 0; i < depth; ++i)
			levels[i].dir.drop();
	level.dir.begin();
	level.len = level.base = static_cast<std::uint16_t>(len);
	if (path[len - 1] != '/')
		path[level.base++] = '/';
	return true;
}

// Opens again the directory of the level at depth, which let go of it, for
// its listing to go on; false when what is left of it is skipped.
bool resume(std::size_t depth)
{
	Level &level = levels[depth];
	released = depth;
	const char kept = path[level.len];
	path[level.len] = '\0';
	const bool again = open_level(depth, path, true);
	path[level.len] = kept;
	return again;
}

// Walks everything below the directory examined as root, whose path (len
// bytes) is in the buffer, depth first, each directory before its entries,
// in listing order.
void walk(const Cells &c, std::size_t len, const struct stat &root)
{
	std::size_t depth = 0;
	if (!enter(0, path, len, root))
		return;
	for (;;) {
		Level &level = levels[depth];
		const std::size_t base = level.base;
		const char *entry;
		Next got = level.dir.held() || resume(depth) ? level.dir.next(&entry, room_for(depth)) : Next::end;
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
		struct stat st;
		if (examine(c, level.dir.fd(), entry, st) && enter(depth + 1, entry, base + n, st))
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
	walk(c, len, st);
	return *newest;
}
