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

void DirReader::back_from(const char *name, std::size_t n, ino_t ino)
{
	returned_ = mark(name, n, ino);
	// Never away, it goes on right after it; a level that was away finds
	// its place from the one passed before.
	if (!away())
		mark_passed(returned_);
}

// listed_again() once the inode matched, out of the walk's way: the name
// decides, and the entry is then the passed one.
bool DirReader::confirm_listed_again(const char *name, std::size_t n, ino_t ino)
{
	if (mark(name, n, ino) != returned_)
		return false;
	mark_passed(returned_);
	return true;
}

// True when the entry name (n bytes), just handed out, is the subdirectory
// m; its status is taken only once its name may be m's. d_ino is not asked:
// it differs from the inode at mount points and on overlays.
bool DirReader::is_subdirectory(Mark m, const char *name, std::size_t n) const
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
		if (hash == m >> 32 && is_subdirectory(m, name, n))
			return Found::it;
		if (also != 0 && hash == also >> 32 && is_subdirectory(also, name, n))
			*also_first = true;
		if (here && place() != at)
			return Found::not_there;
	}
	return got == Next::end ? Found::not_there : Found::error;
}

// Goes on right after the passed subdirectory, looked for from where the
// passed one began, or from the start. Listed after the returned one, it
// moved after that one meanwhile: then going on after the returned one is
// right, found again from the same place.
Found DirReader::after_passed(bool at_hint, std::size_t room)
{
	bool moved = false;
	Found found = go_back(at_hint) ? find(passed_, room, at_hint, returned_, &moved) : Found::error;
	if (found == Found::it && moved)
		found = go_back(at_hint) ? find(returned_, room, at_hint) : Found::error;
	if (found == Found::it)
		mark_passed(moved ? returned_ : passed_);
	return found;
}

// Finds the place by the passed subdirectory, the way that trusts no
// position: where it began, the one read that a directory left alone
// needs; else from the start, where the listing has the last word, whatever
// an error at the hint said; where it is no longer there, or there is none,
// only the start is safe, and the entries before the place are examined
// again. Fresh where nothing was read since the directory was opened.
bool DirReader::find_by_name(std::size_t room, bool fresh)
{
	if (passed_ == 0)
		return fresh || go_back(false);
	if (after_passed(true, room) == Found::it)
		return true;
	switch (after_passed(false, room)) {
	case Found::it:
		return true;
	case Found::error:
		return false;
	case Found::not_there:
		break;
	}
	passed_ = 0;
	return go_back(false);
}

bool DirReader::find_place(DeviceId dev, std::size_t room)
{
#if TREESTAMP_GETDENTS
	const bool at_read_end = lo_ == kAwayAtReadEnd;
	lo_ = hi_ = 0;
	switch (positions(dev)) {
	case Positions::hints:
		break;
	case Positions::lasting_ext4:
		if (at_read_end)
			switch (forget_group()) {
			case Forgot::yes:
				break;
			case Forgot::unsure:
				return find_by_name(room, false);
			case Forgot::error:
				return false;
			}
		[[fallthrough]];
	case Positions::lasting:
		if (!seek_after_last())
			return false;
		mark_passed(returned_);
		return true;
	}
	return after_returned(room) || find_by_name(room, false);
#else
	// Only a level that let go is away, and its stream was just opened.
	(void)dev;
	return find_by_name(room, true);
#endif
}

#if TREESTAMP_GETDENTS
// Goes on after the returned subdirectory where it is still found where it
// began: then nothing that stayed moved past it, whatever else came or
// went before it, and the entries before it need no second look. Where it
// moved away and back it begins elsewhere (ramfs lists it first, tmpfs and
// NFS give it a new position, an overlay's or libfuse's listing made anew
// has it where it is listed now), and the passed one decides.
bool DirReader::after_returned(std::size_t room)
{
	if (!seek_hint(start_) || find(returned_, room, true) != Found::it)
		return false;
	mark_passed(returned_);
	return true;
}

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
	lo_ = kAway;
	hi_ = 0;
}

void DirReader::close()
{
	if (fd_ != 0)
		::close(fd());
	fd_ = 0;
}

// Goes to the position to. Nothing is read there: a read at position 0
// makes some file systems list afresh (below).
bool DirReader::seek(std::int64_t to)
{
	lo_ = hi_ = 0;
	off_ = to;
	return lseek(fd(), static_cast<off_t>(to), SEEK_SET) >= 0;
}

// True when the kernel's last read ended, with the last entry read ahead,
// at the position after the last entry handed out.
bool DirReader::read_ended_after_last() const
{
	std::size_t last = lo_;
	for (std::size_t i = lo_; i < hi_; i += reinterpret_cast<const KernelEntry *>(scratch_ + i)->reclen)
		last = i;
	return reinterpret_cast<const KernelEntry *>(scratch_ + last)->off == off_;
}

// What each file system's positions may be trusted with, measured with the
// tests' trees on Linux 6.18 (scripts/test fs; a position kept,
// the directory changed, sought again on the same and a new descriptor):
// - ext4: the hash of the name, which the entries that stay keep; names of
//   one hash share it (legacy: 32 bits, common; seeded: 63 bits, never by
//   chance);
// - xfs: the entry's place in the directory's data; btrfs: its sequence
//   number; neither shared;
// - everything else is a hint: ramfs counts the entries before it, so one
//   removed before it leads one entry on, and so did tmpfs before Linux 6.6
//   (Debian 12's and Ubuntu 22.04's kernels), whose directories were
//   ramfs's (dcache_readdir); it is taken for what it was, since a version
//   number is no measurement; an overlay's merged directory
//   and libfuse's high-level file systems (bindfs) index a listing made at
//   the first read and made afresh at a read at position 0 (ovl_iterate,
//   fuse_lib_readdir), and an overlay directory of one layer becomes
//   merged once copied up, at such a read or a new open; kernfs (sysfs,
//   cgroupfs) gives the names of one 31-bit hash one position, and a seek
//   to it lands wherever its tree search meets them, not at the first
//   (kernfs_dir_pos); /proc and NFS promise nothing.
// The magic numbers are compared as unsigned, since some C libraries keep
// them in a signed int where they do not fit.
Positions DirReader::positions(DeviceId dev) const
{
	// Asked once for each file system in a row, as a walk meets them.
	static DeviceId asked = 0;
	static Positions answer = Positions::hints;
	if (dev == asked && dev != 0)
		return answer;
	constexpr std::uint32_t kExt4 = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E;
	struct statfs fs;
	if (fstatfs(fd(), &fs) != 0)
		return Positions::hints; // finding the place by name is right anywhere
	const auto type = static_cast<std::uint32_t>(fs.f_type);
	asked = dev;
	answer = type == kExt4 ? Positions::lasting_ext4
	         : type == kXfs || type == kBtrfs ? Positions::lasting
	                                          : Positions::hints;
	return answer;
}

// Makes ext4 let go of its place among the entries of one position. Where
// a read ended among them, ext4 keeps its place there, and a seek back to
// where that read ended goes on from it, not from the first of them; a
// read at any other position, even one refused for want of room, makes it
// let go (ext4_dx_readdir's last_pos; measured with the tests' names of one
// legacy hash). Position 0 is always another, and on ext4 itself a read
// there lists nothing afresh. Unsure where the refusal was not the expected
// one, with errno set where it failed.
DirReader::Forgot DirReader::forget_group()
{
	char none[1];
	if (lseek(fd(), 0, SEEK_SET) != 0)
		return Forgot::error;
	if (syscall(SYS_getdents64, fd(), none, sizeof none) >= 0)
		return Forgot::unsure;
	return errno == EINVAL ? Forgot::yes : Forgot::error;
}

// Goes back to the kernel's offset after the last entry handed out. Where
// that entry began at the same offset, the kernel lists the entries there
// from the first again, and the next read goes past those handed out.
bool DirReader::seek_after_last()
{
	const std::int64_t to = off_;
	if (!seek(to))
		return false;
	if (start_ == to)
		lo_ = kPast;
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
	return found == Found::it || (found == Found::not_there && seek(at));
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
