#include "scan.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

#include "dir_reader.h"
#include "front.h"

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

// Every level adds a separator and at least one character to the path, so
// the path limit bounds the depth of the walk.
constexpr std::size_t kMaxDepth = PATH_MAX / 2 + 2;
static_assert(PATH_MAX < 65536, "path lengths are kept in 16 bits");

// One directory of the walk, from the root down to the one being read: its
// reader; its identity when it was examined, to know it again when it is
// opened anew; the length of its path, and where its entries' names go in
// the buffer, after the separator.
struct Level {
	DirReader dir;
	ino_t ino = 0;
	DeviceId dev = 0;
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
// The levels share the scratch space and the descriptors as stacks:
// - a level's entries go after those the levels above it still hold
//   (room_for()); where that leaves it too little room, every level above
//   drops what it holds at once, and a level away holds nothing, so the
//   room of all of them is given back;
// - where descriptors run short, the shallowest level still holding one
//   lets go of it, so that those that let go are always the shallowest and
//   those the walk returns to soonest stay open; released counts them.
constinit std::size_t released = 0;

// Ends the run on an entry whose status cannot be taken: its path is the
// first len bytes of head (all of it, where len is negative), then tail.
[[noreturn]] void stat_failed(int err, const char *head, int len = -1, const char *tail = "")
{
	fail(Status::unexaminable, err, "Cannot stat() file %.*s%s: ", len, head, tail);
}

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
// or it was the file of a process that has since exited (ESRCH, in /proc),
// or the server no longer knows it (ESTALE, on NFS).
bool vanished(int err)
{
	return err == ENOENT || err == ESRCH || err == ESTALE;
}

// Takes the status of an entry whose built path is in the buffer into st;
// true when it is a directory to enter.
bool examine(const Cells &c, int dir, const char *name, struct stat &st)
{
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
		// No longer part of the tree; its removal is its directory's own change.
		if (vanished(errno))
			return false;
		stat_failed(errno, path);
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

// Where the entries of the level at depth may go in the scratch space.
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

// Ends the run on an error reading the directory of the level at depth.
[[noreturn]] void read_failed(std::size_t depth, int err)
{
	path[levels[depth].len] = '\0';
	fail(Status::unexaminable, err, "Cannot read directory %s: ", path);
}

// Ends the run on an error listing the level at depth, unless it is one
// that skips the rest of that directory.
void listing_failed(std::size_t depth, int err)
{
	if (!skippable(err, levels[depth].dir.fd()))
		read_failed(depth, err);
}

// True when the directory just opened for level is the one examined there;
// false when it is another, or vanished right after the open.
bool same_directory(const Level &level)
{
	struct stat st;
	if (fstat(level.dir.fd(), &st) != 0) {
		if (!vanished(errno))
			stat_failed(errno, path);
		return false;
	}
	return static_cast<DeviceId>(st.st_dev) == level.dev && st.st_ino == level.ino;
}

// Opens the directory of the level at depth, whose path is in the buffer:
// by name below the level above while that holds its own, else by the whole
// path, then checked to be the one examined, since any component of a path
// may have been swapped for a link meanwhile. While the system is short of
// resources, the shallowest levels let go of theirs. False when it is
// skipped: it refuses us, vanished or was replaced.
bool open_level(std::size_t depth, const char *name)
{
	Level &level = levels[depth];
	for (;;) {
		const bool by_path = depth == 0 || !levels[depth - 1].dir.held();
		if (level.dir.open(by_path ? kCwd : levels[depth - 1].dir.fd(), by_path ? path : name)) {
			if (!by_path || same_directory(level))
				return true;
			level.dir.close();
			return false;
		}
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
	level.dev = static_cast<DeviceId>(st.st_dev);
	level.ino = st.st_ino;
	// Before the open: a level above that lets go of its directory to make
	// room for this one, and this one fails to open, still knows the entry
	// it is back from.
	level.len = static_cast<std::uint16_t>(len);
	if (!open_level(depth, name))
		return false;
	// Its entries go after those the levels above still hold; where that
	// leaves too little room, all of theirs are dropped, to be read again
	// when the walk is back.
	if (!DirReader::fits(room_for(depth)))
		for (std::size_t i = 0; i < depth; ++i)
			levels[i].dir.drop();
	level.dir.begin();
	level.base = level.len;
	if (path[len - 1] != '/')
		path[level.base++] = '/';
	return true;
}

// Takes the level at depth back from the directory below it, whose name is
// still in the buffer after the level's separator: where it was away (let
// go of its descriptor, or dropped its entries), opens it again if need be
// and goes on where no entry that stayed is missed. False when what is
// left of it is skipped.
bool back_at(std::size_t depth)
{
	Level &level = levels[depth];
	const Level &below = levels[depth + 1];
	level.dir.back_from(path + level.base, below.len - level.base, below.ino);
	if (!level.dir.away())
		return true;
	if (!level.dir.held()) {
		// The levels below have returned; those above this one still let go.
		released = depth;
		const char kept = path[level.len];
		path[level.len] = '\0';
		const bool again = open_level(depth, path);
		path[level.len] = kept;
		if (!again)
			return false;
	}
	if (level.dir.find_place(level.dev, room_for(depth)))
		return true;
	listing_failed(depth, errno);
	return false;
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
		const char *entry = nullptr;
		const Next got = level.dir.next(&entry, room_for(depth));
		if (got == Next::entry) {
			if (entry[0] == '.' && (entry[1] == '\0' || (entry[1] == '.' && entry[2] == '\0')))
				continue;
			std::size_t n = std::strlen(entry);
			// Refused as the status call on the whole path would refuse it;
			// this bounds the depth and keeps every printed path usable.
			if (base + n >= PATH_MAX)
				stat_failed(ENAMETOOLONG, path, static_cast<int>(base), entry);
			std::memcpy(path + base, entry, n + 1);
			struct stat st;
			if (!examine(c, level.dir.fd(), entry, st))
				continue;
			// Listed again, as a renamed entry or a listing read anew may
			// be: all below it has been examined in this visit.
			if (level.dir.listed_again(entry, n, st.st_ino))
				continue;
			if (enter(depth + 1, entry, base + n, st)) {
				++depth;
				continue;
			}
			// Skipped; this level may have let go to make room for it.
			if (level.dir.held() || back_at(depth))
				continue;
		} else if (got == Next::error) {
			listing_failed(depth, errno);
		}
		// Back up to the first level whose rest is not skipped.
		do {
			if (depth == 0) {
				levels[0].dir.close();
				return;
			}
			levels[depth--].dir.close();
		} while (!back_at(depth));
	}
}

// Mounts root where the system mounts it on access (autofs, a systemd
// automount), so that its status is that of the tree its open reaches:
// since Linux 4.14 the status calls leave the placeholder unmounted, and the
// walk would take it for a directory replaced before its open. statx
// without AT_NO_AUTOMOUNT mounts it; before statx came (Linux 4.11), the
// status calls did. Its answer is not used: the root's status is then
// taken like any entry's.
void mount_if_automounted(const char *root)
{
#if defined(__linux__) && defined(SYS_statx)
	alignas(8) char ignored[256]; // a struct statx, which older C libraries do not declare
	(void)syscall(SYS_statx, kCwd, root, AT_SYMLINK_NOFOLLOW, 0u, ignored);
#else
	(void)root;
#endif
}

} // namespace

time_t tree_stamp(const char *root, time_t *newest, time_t *threshold, time_t *window)
{
	const Cells c{newest, threshold, window};
	mount_if_automounted(root);
	struct stat st;
	if (fstatat(kCwd, root, &st, AT_SYMLINK_NOFOLLOW) != 0)
		stat_failed(errno, root);
	if (!count(st, c))
		return *newest;
	std::size_t len = std::strlen(root);
	if (len >= PATH_MAX)
		stat_failed(ENAMETOOLONG, root);
	std::memcpy(path, root, len + 1);
	walk(c, len, st);
	return *newest;
}
