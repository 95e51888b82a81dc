#include "dir_reader.h"

#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#if TREESTAMP_GETDENTS
#include <sys/vfs.h>
#endif

namespace {

// Never follow a link: an entry swapped for one after its status was taken is
// treated like a directory that vanished.
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The name of n bytes at name folded into 32 bits (FNV-1a).
std::uint32_t name_hash(const char *name, std::size_t n)
{
	std::uint32_t hash = 2166136261u;
	for (std::size_t i = 0; i < n; ++i)
		hash = (hash ^ static_cast<unsigned char>(name[i])) * 16777619u;
	return hash;
}

// The mark of the name of n bytes at name, of the inode ino.
Mark mark(const char *name, std::size_t n, ino_t ino)
{
	const Mark m = (Mark{name_hash(name, n)} << 32) | static_cast<std::uint32_t>(ino);
	return m != 0 ? m : 1;
}

} // namespace

void DirReader::came_back(const char *name, std::size_t n, ino_t ino)
{
	returned_ = mark(name, n, ino);
	// Still open, it goes on right after it.
	if (held())
		pass(returned_);
}

// returned_to() once the inode matched, out of the walk's way: the name
// decides, and the entry is then the passed one.
bool DirReader::returned_again(const char *name, std::size_t n, ino_t ino)
{
	if (mark(name, n, ino) != returned_)
		return false;
	pass(returned_);
	return true;
}

// True when the entry name (n bytes), just handed out, is the subdirectory
// m; its status is taken only once its name may be m's. d_ino is not asked:
// it differs from the inode at mount points and on overlays.
bool DirReader::is(Mark m, const char *name, std::size_t n) const
{
	struct stat st;
	return fstatat(fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && mark(name, n, st.st_ino) == m;
}

// Reads on until the subdirectory m has been handed out: to the end of the
// listing, or where here is set, no further than the entries at the
// position sought last. A name whose hash is m's is only a candidate:
// another name may share that hash, so the search goes on past it.
// Where also is given, *also_first tells whether that one came before.
Found DirReader::find(Mark m, std::size_t room, bool here, Mark also, bool *also_first)
{
	const std::int64_t at = place();
	const char *name;
	Next got;
	while ((got = next(&name, room)) == Next::entry) {
		const std::size_t n = std::strlen(name);
		const std::uint32_t hash = name_hash(name, n);
		if (hash == m >> 32 && is(m, name, n))
			return Found::it;
		if (also != 0 && hash == also >> 32 && is(also, name, n))
			*also_first = true;
		if (here && place() != at)
			return Found::not_there;
	}
	return got == Next::end ? Found::not_there : Found::error;
}

// Goes on right after the passed subdirectory, looked for from where the
// passed one was, or from the start. Listed after the returned one, it
// moved after that one meanwhile: then going on after the returned one is
// right, found again from the same place. The hint is tried first, on the
// directory just opened, which has read nothing yet.
Found DirReader::after_passed(bool at_hint, std::size_t room)
{
	bool moved = false;
	Found found = go_back(at_hint, at_hint) ? find(passed_, room, at_hint, returned_, &moved) : Found::error;
	if (found == Found::it && moved)
		found = go_back(at_hint, false) ? find(returned_, room, at_hint) : Found::error;
	if (found == Found::it)
		pass(moved ? returned_ : passed_);
	return found;
}

bool DirReader::resume(dev_t dev, std::size_t room)
{
	if (lasting(dev)) {
		if (!seek_after_last(true))
			return false;
		pass(returned_);
		return true;
	}
	// Just opened, it lists from its start; or the passed one is where it
	// was, the one read that a directory left alone needs.
	if (passed_ == 0 || after_passed(true, room) == Found::it)
		return true;
	// Whatever an error at the hint said, the listing from the start has the
	// last word; where the passed one is no longer there, only the start is
	// safe.
	switch (after_passed(false, room)) {
	case Found::it:
		return true;
	case Found::error:
		return false;
	case Found::not_there:
		break;
	}
	passed_ = 0;
	return go_back(false, false);
}

#if TREESTAMP_GETDENTS
bool DirReader::open(int parent, const char *name)
{
	int fd = openat(parent, name, kOpenFlags);
	if (fd < 0)
		return false;
	fd_ = fd + 1;
	return true;
}

void DirReader::release()
{
	::close(fd());
	fd_ = 0;
	lo_ = hi_ = 0;
}

void DirReader::close()
{
	if (fd_ != 0)
		::close(fd());
	fd_ = 0;
}

// Goes to the position to, from which the kernel lists the entries there
// from the first. ext4 keeps its place among the entries of one position
// that a read cut, and after a seek back to that position goes on from
// there, not from the first of them; only a read at another position, even
// one refused for want of room, makes it let go (measured on Linux 6.18).
// A descriptor that has read nothing since it was opened (fresh) keeps no
// place.
bool DirReader::seek(std::int64_t to, bool fresh)
{
	lo_ = hi_ = 0;
	off_ = to;
	if (!fresh && lseek(fd(), 0, SEEK_SET) == 0)
		(void)syscall(SYS_getdents64, fd(), scratch_, std::size_t{1});
	return lseek(fd(), static_cast<off_t>(to), SEEK_SET) >= 0;
}

// The offsets of ext4, xfs and btrfs are cookies that an NFS server hands to
// its clients, so they stay good for the entries that stay: a hash of the
// name, a place in the directory's data, a sequence number. Those of others
// may count entries or index a listing built at the open (tmpfs, which
// counted before Linux 6.6; FUSE; an overlay's merged directories).
bool DirReader::lasting(dev_t dev) const
{
	// Asked once for each file system in a row, as a walk meets them; the
	// magic numbers as unsigned, since some C libraries keep them in a
	// signed int where they do not fit.
	static dev_t asked = 0;
	static bool answer = false;
	if (dev == asked && dev != 0)
		return answer;
	constexpr std::uint32_t kExt4 = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E;
	struct statfs fs;
	if (fstatfs(fd(), &fs) != 0)
		return false; // the listing from the start is right anywhere
	const auto type = static_cast<std::uint32_t>(fs.f_type);
	asked = dev;
	answer = type == kExt4 || type == kXfs || type == kBtrfs;
	return answer;
}

// Goes back to the kernel's offset after the last entry handed out. Where
// that entry began at the same offset, the kernel lists the entries there
// from the first again, and the next read goes past those handed out.
bool DirReader::seek_after_last(bool fresh)
{
	const std::int64_t to = off_;
	if (!seek(to, fresh))
		return false;
	if (start_ == fold(to))
		lo_ = 1;
	return true;
}

// The last entry handed out was the subdirectory the walk came back from:
// goes past it, or where it is no longer among the entries at its
// position, back to hand them all out again, some perhaps twice rather than
// one missed. False, errno set, when the directory cannot be read.
bool DirReader::past_handed_out(std::size_t room)
{
	const std::int64_t at = off_;
	lo_ = hi_ = 0;
	const Found found = find(returned_, room, true);
	return found == Found::it || (found == Found::not_there && seek(at, false));
}
#else
bool DirReader::open(int parent, const char *name)
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

void DirReader::release()
{
	closedir(dir_);
	dir_ = nullptr;
}

void DirReader::close()
{
	if (dir_ != nullptr)
		closedir(dir_);
	dir_ = nullptr;
}
#endif
