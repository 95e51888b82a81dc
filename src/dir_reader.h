// Directory readers: a directory's entries in the order the system lists
// them, and the way back to a place in them after losing it.
//
// The build picks one reader; both offer the same:
// - open(parent, name): opens name below the descriptor parent, or a whole
//   path with kCwd; false, errno set, when it cannot;
// - begin(): starts the listing of the directory just opened;
// - next(&name, room): the next name, read into the scratch space from room
//   on when none is buffered; entry, end, or error with errno set;
// - held(), fd(): whether it holds its descriptor, and which;
// - release(): lets go of the descriptor; drop(): of the entries read
//   ahead, to make room for the levels below. Either way the level is
//   away() until find_place() brings it back;
// - close(): ends the listing;
// - back_from(name, n, ino): the walk is back from the subdirectory it
//   went down into, the last entry handed out;
// - listed_again(name, n, ino): true when the directory just handed out is
//   the one it came back from last, listed again: not to be entered again;
// - find_place(dev, room): once a level that was away is open again, goes
//   on where no entry that stayed in it throughout is missed; false, errno
//   set, when the directory cannot be read;
// - unused(), fits(room): the scratch space that every level of the walk
//   shares, each after those above it.
//
// Going back rests on two subdirectories the reader knows by their marks:
// the one it came back from last (returned), and the last one known to lie
// before its place in the listing while it was never away (passed; none:
// the start). Entries that stay keep their order relative to each other, so
// going on right after the passed one misses none of them, whatever became
// of the others; and where the returned one is listed before it, the passed
// one moved after it, and going on after the returned one is right. The
// returned one still found where it began shows the same more cheaply, and
// is tried first. Only where a file system's positions are known to keep
// their meaning for the entries that stay does the reader go straight back
// to the position after the returned one instead (positions(), the one
// list of them).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>

#if defined(__linux__) && !defined(TREESTAMP_READDIR)
#define TREESTAMP_GETDENTS 1
#include <algorithm>
#include <climits>
#include <limits>
#include <type_traits>
#include <sys/syscall.h>
#include <unistd.h>
#else
#define TREESTAMP_GETDENTS 0
#endif

// Some systems (Solaris) define it as an unsigned constant.
constexpr int kCwd = static_cast<int>(AT_FDCWD);

// What asking a directory for its next entry gave.
enum class Next { entry, end, error };

// A subdirectory known by its name and its inode, each folded into 32 bits:
// enough to tell it from the other entries of its directory. 0 is none.
using Mark = std::uint64_t;

// What looking for a marked subdirectory in a listing found.
enum class Found { it, not_there, error };

#if TREESTAMP_GETDENTS
// What a file system's positions may be trusted with (positions()).
enum class Positions {
	hints,        // a hint only: checked by name where it leads
	lasting,      // good, for the entries that stay, on any descriptor
	lasting_ext4, // lasting; ext4's: names of one hash share one
};

// How a level knows its directory again: Linux's device numbers have 32
// bits (12 major, 20 minor), which the status calls hand out unchanged.
using DeviceId = std::uint32_t;

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

// Reads a directory straight from the kernel into the scratch space, after
// what the levels above it still hold there.
class DirReader {
public:
	// One kernel read fills at most this much.
	static constexpr std::size_t kChunk = std::size_t{32} * 1024;
	// About two full reads, which ordinary trees never outgrow, since a
	// level whose entries have all been handed out leaves its room to the
	// levels below; a little less, so that positions in it fit 16 bits and
	// every build keeps within its budget of static storage (HACKING.md).
	static constexpr std::size_t kScratchSize = 2 * kChunk - 16;
	static_assert(kScratchSize < UINT16_MAX - 1, "places in it stay below the marks of the away states");
	// The largest record a single entry can take.
	static constexpr std::size_t kEntryMax = (offsetof(KernelEntry, name) + NAME_MAX + 1 + 7) & ~std::size_t{7};
	// A level gets at least this much room, or the levels above drop theirs;
	// at least one record, so that a read always makes progress.
	static constexpr std::size_t kMinRoom = kChunk / 4;
	static_assert(kMinRoom >= kEntryMax);

	constexpr DirReader() = default;
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	[[nodiscard]] bool open(int parent, const char *name);
	void begin()
	{
		lo_ = hi_ = 0;
		off_ = 0;
		start_ = hint_ = 0;
		passed_ = returned_ = 0;
	}
	bool held() const { return fd_ != 0; }
	int fd() const { return fd_ - 1; }
	void release();
	void close();

	[[nodiscard]] Next next(const char **name, std::size_t room)
	{
		if (lo_ >= hi_) {
			if (lo_ != hi_ && !past_handed_out(room))
				return Next::error;
			if (lo_ == hi_) {
				long got = syscall(SYS_getdents64, fd(), scratch_ + room, std::min(kChunk, kScratchSize - room));
				if (got <= 0)
					return got == 0 ? Next::end : Next::error;
				lo_ = cut(room);
				hi_ = cut(room + static_cast<std::size_t>(got));
			}
		}
		const auto *entry = reinterpret_cast<const KernelEntry *>(scratch_ + lo_);
		lo_ = static_cast<std::uint16_t>(lo_ + entry->reclen);
		start_ = as_hint(off_);
		off_ = entry->off;
		if (lo_ == hi_) // all handed out: the levels below may have its room
			lo_ = hi_ = cut(room);
		*name = entry->name;
		return Next::entry;
	}

	void back_from(const char *name, std::size_t n, ino_t ino);
	[[nodiscard]] bool listed_again(const char *name, std::size_t n, ino_t ino)
	{
		return static_cast<std::uint32_t>(ino) == static_cast<std::uint32_t>(returned_) && confirm_listed_again(name, n, ino);
	}
	[[nodiscard]] bool find_place(DeviceId dev, std::size_t room);

	// Lets go of the entries read ahead; the level finds its place again
	// when the walk is back, as one that let go of its descriptor does.
	// With none read ahead, the kernel goes on after the last handed out.
	void drop()
	{
		if (lo_ < hi_) {
			lo_ = read_ended_after_last() ? kAwayAtReadEnd : kAway;
			hi_ = 0;
		}
	}
	bool away() const { return !held() || lo_ >= kAwayAtReadEnd; }
	// Where the next level's buffered entries may begin: a level that is
	// away, or whose entries have all been handed out, leaves its room.
	std::size_t unused() const { return hi_; }
	// True when a level whose entries begin at room has enough of it.
	static bool fits(std::size_t room) { return kScratchSize - room >= kMinRoom; }

private:
	// A position in the listing's own terms, where the last entry handed
	// out began or the passed one did: whole, since ext4 gives 64-bit
	// programs 64-bit positions. A 32-bit program keeps 31 bits, which
	// every position of ext4, xfs and tmpfs fits there (ext4 gives 32-bit
	// programs 31-bit ones); one that does not is no hint.
	using Hint = std::conditional_t<(sizeof(void *) >= 8), std::int64_t, std::int32_t>;
	static constexpr Hint kNoHint = -1;
	static Hint as_hint(std::int64_t at)
	{
		return at >= 0 && at <= std::numeric_limits<Hint>::max() ? static_cast<Hint>(at) : kNoHint;
	}
	// With hi_ 0, values of lo_ that mark a state: the kernel lists some
	// entries handed out before next (kPast); the level is away (kAway),
	// or dropped where the kernel's last read ended (kAwayAtReadEnd).
	static constexpr std::uint16_t kPast = 1, kAwayAtReadEnd = UINT16_MAX - 1, kAway = UINT16_MAX;
	static std::uint16_t cut(std::size_t at) { return static_cast<std::uint16_t>(at); }
	[[nodiscard]] bool read_ended_after_last() const;
	[[nodiscard]] bool seek(std::int64_t to);
	[[nodiscard]] bool seek_hint(Hint to) { return to != kNoHint && seek(to); }
	// Back to where the passed one began (a hint), or to the start.
	[[nodiscard]] bool go_back(bool to_hint) { return to_hint ? seek_hint(hint_) : seek(0); }
	[[nodiscard]] Positions positions(DeviceId dev) const;
	enum class Forgot { yes, unsure, error };
	[[nodiscard]] Forgot forget_group();
	[[nodiscard]] bool seek_after_last();
	[[nodiscard]] bool past_handed_out(std::size_t room);
	std::int64_t place() const { return off_; }
	[[nodiscard]] Found find(Mark m, std::size_t room, bool here, Mark also = 0, bool *also_first = nullptr);
	[[nodiscard]] Found after_passed(bool at_hint, std::size_t room);
	[[nodiscard]] bool after_returned(std::size_t room);
	[[nodiscard]] bool find_by_name(std::size_t room, bool fresh);
	[[nodiscard]] bool is_subdirectory(Mark m, const char *name, std::size_t n) const;
	[[nodiscard]] bool confirm_listed_again(const char *name, std::size_t n, ino_t ino);
	void mark_passed(Mark m)
	{
		passed_ = m;
		hint_ = start_;
	}

	alignas(8) static inline char scratch_[kScratchSize];

	std::int64_t off_ = 0; // the kernel's offset after the last entry handed out
	Mark passed_ = 0, returned_ = 0;
	Hint start_ = 0, hint_ = 0; // where the last entry handed out began, and where the passed one did
	int fd_ = 0;                // one more than the descriptor, so that a closed reader is all zero bytes
	// Its entries not yet handed out; none, and lo_ above hi_, where what
	// the kernel lists next may begin with entries handed out before, or
	// where the level is away.
	std::uint16_t lo_ = 0, hi_ = 0;
};
#else
// How a level knows its directory again.
using DeviceId = dev_t;

// Reads a directory through the portable stream interface.
class DirReader {
public:
	constexpr DirReader() = default;
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	[[nodiscard]] bool open(int parent, const char *name);
	void begin() { passed_ = returned_ = 0; }
	bool held() const { return dir_ != nullptr; }
	int fd() const { return dirfd(dir_); }
	void release();
	void close();

	[[nodiscard]] Next next(const char **name, std::size_t)
	{
		errno = 0;
		const struct dirent *entry = readdir(dir_);
		if (entry == nullptr)
			return errno == 0 ? Next::end : Next::error;
		*name = entry->d_name;
		return Next::entry;
	}

	void back_from(const char *name, std::size_t n, ino_t ino);
	[[nodiscard]] bool listed_again(const char *name, std::size_t n, ino_t ino)
	{
		return static_cast<std::uint32_t>(ino) == static_cast<std::uint32_t>(returned_) && confirm_listed_again(name, n, ino);
	}
	[[nodiscard]] bool find_place(DeviceId dev, std::size_t room);

	// The C library buffers each stream itself, so there is no shared
	// space to make room in; these only let the walk read the same with
	// either reader.
	void drop() {}
	bool away() const { return !held(); }
	std::size_t unused() const { return 0; }
	static bool fits(std::size_t) { return true; }

private:
	// A position is good only in the stream that gave it, and a counted
	// place costs as much to reach as a listing from the start: there is
	// no hint to go back to.
	[[nodiscard]] bool go_back(bool to_hint)
	{
		if (to_hint)
			return false;
		rewinddir(dir_);
		return true;
	}
	std::int64_t place() const { return 0; }
	[[nodiscard]] Found find(Mark m, std::size_t room, bool here, Mark also = 0, bool *also_first = nullptr);
	[[nodiscard]] Found after_passed(bool at_hint, std::size_t room);
	[[nodiscard]] bool find_by_name(std::size_t room, bool fresh);
	[[nodiscard]] bool is_subdirectory(Mark m, const char *name, std::size_t n) const;
	[[nodiscard]] bool confirm_listed_again(const char *name, std::size_t n, ino_t ino);
	void mark_passed(Mark m) { passed_ = m; }

	DIR *dir_ = nullptr;
	Mark passed_ = 0, returned_ = 0;
};
#endif
