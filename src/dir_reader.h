// Directory readers: a directory's entries in the order the system lists
// them, and the way back to a place in them after letting go of it.
//
// The build picks one reader; both offer the same:
// - open(parent, name): opens name below the descriptor parent, or a whole
//   path with kCwd; false, errno set, when it cannot;
// - begin(): starts the listing of the directory just opened;
// - next(&name, room): the next name, read into the scratch space from room
//   on when none is buffered; entry, end, or error with errno set;
// - held(), fd(): whether it holds its descriptor, and which;
// - release(): lets go of the descriptor; what it kept of its place is a
//   hint once the directory is open again, never the truth;
// - close(): ends the listing;
// - came_back(name, n, ino): the walk is back from the subdirectory it
//   went down into, the last entry handed out;
// - returned_to(name, n, ino): true when the directory just handed out is
//   the one it came back from last, listed again: not to be entered again;
// - resume(dev, room): once the directory is open anew, goes on where no
//   entry that stayed in it throughout is missed; false, errno set, when
//   the directory cannot be read;
// - drop(), unused(), fits(room): the scratch space that every level of
//   the walk shares, each after those above it.
//
// Going back rests on two subdirectories the reader knows by their marks:
// the one it came back from last (returned), and the last one known to lie
// before its place in the listing (passed; none: the start). Entries that
// stay keep their order relative to each other, so going on right after the
// passed one misses none of them, whatever became of the others; and where
// the returned one is listed before it, the passed one moved after it, and
// going on after the returned one is right. Where the file system's
// positions keep their meaning when the directory changes, the reader goes
// back to the position after the returned one instead.
// Several entries may share one position (ext4 gives every entry of one
// name hash the same), and going back to it lists them all from the first,
// whatever place among them the kernel kept: so wherever it goes back to a
// position, it reads on past the subdirectory it looks for among the
// entries there, or hands them all out again.
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
	static_assert(kScratchSize <= UINT16_MAX);
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
				lo_ = position(room);
				hi_ = position(room + static_cast<std::size_t>(got));
			}
		}
		const auto *entry = reinterpret_cast<const KernelEntry *>(scratch_ + lo_);
		lo_ = static_cast<std::uint16_t>(lo_ + entry->reclen);
		start_ = fold(off_);
		off_ = entry->off;
		if (lo_ == hi_) // all handed out: the levels below may have its room
			lo_ = hi_ = position(room);
		*name = entry->name;
		return Next::entry;
	}

	void came_back(const char *name, std::size_t n, ino_t ino);
	[[nodiscard]] bool returned_to(const char *name, std::size_t n, ino_t ino)
	{
		return static_cast<std::uint32_t>(ino) == static_cast<std::uint32_t>(returned_) && returned_again(name, n, ino);
	}
	[[nodiscard]] bool resume(dev_t dev, std::size_t room);

	// Lets go of the buffered entries, to be read again from the kernel's
	// offset after the last one handed out, which this descriptor keeps.
	[[nodiscard]] bool drop() { return lo_ >= hi_ || seek_after_last(false); }
	// Where the next level's buffered entries may begin.
	std::size_t unused() const { return hi_; }
	// True when a level whose entries begin at room has enough of it.
	static bool fits(std::size_t room) { return kScratchSize - room >= kMinRoom; }

private:
	static std::uint16_t position(std::size_t at) { return static_cast<std::uint16_t>(at); }
	// A kernel position in 32 bits: itself where it fits, as those of the
	// file systems whose positions do not last do; where it does not, its
	// halves mixed, since ext4 gives the low one no meaning at all for some
	// hashes.
	static std::uint32_t fold(std::int64_t at)
	{
		const auto bits = static_cast<std::uint64_t>(at);
		return static_cast<std::uint32_t>(bits ^ (bits >> 32));
	}
	[[nodiscard]] bool seek(std::int64_t to, bool fresh);
	// Back to where the passed one was (a hint), or to the start; fresh
	// where nothing was read since the directory was opened.
	[[nodiscard]] bool go_back(bool to_hint, bool fresh) { return seek(to_hint ? hint_ : 0, fresh); }
	[[nodiscard]] bool lasting(dev_t dev) const;
	[[nodiscard]] bool seek_after_last(bool fresh);
	[[nodiscard]] bool past_handed_out(std::size_t room);
	std::int64_t place() const { return off_; }
	[[nodiscard]] Found find(Mark m, std::size_t room, bool here, Mark also = 0, bool *also_first = nullptr);
	[[nodiscard]] Found after_passed(bool at_hint, std::size_t room);
	[[nodiscard]] bool is(Mark m, const char *name, std::size_t n) const;
	[[nodiscard]] bool returned_again(const char *name, std::size_t n, ino_t ino);
	void pass(Mark m)
	{
		passed_ = m;
		hint_ = start_;
	}

	alignas(8) static inline char scratch_[kScratchSize];

	std::int64_t off_ = 0;     // the kernel's offset after the last entry handed out
	Mark passed_ = 0, returned_ = 0;
	// Where the last entry handed out began, and where the passed one did,
	// folded: the first, equal to the position after it, tells one that may
	// be shared (one that is not only costs a read); the second is a hint,
	// whose entries count only once known.
	std::uint32_t start_ = 0, hint_ = 0;
	int fd_ = 0;               // one more than the descriptor, so that a closed reader is all zero bytes
	// Its entries not yet handed out; none, and lo_ above hi_ where what the
	// kernel lists next may begin with entries handed out before.
	std::uint16_t lo_ = 0, hi_ = 0;
};
#else
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

	void came_back(const char *name, std::size_t n, ino_t ino);
	[[nodiscard]] bool returned_to(const char *name, std::size_t n, ino_t ino)
	{
		return static_cast<std::uint32_t>(ino) == static_cast<std::uint32_t>(returned_) && returned_again(name, n, ino);
	}
	[[nodiscard]] bool resume(dev_t dev, std::size_t room);

	// The C library buffers each stream itself, so there is no shared
	// space to make room in; these only let the walk read the same with
	// either reader.
	[[nodiscard]] bool drop() { return true; }
	std::size_t unused() const { return 0; }
	static bool fits(std::size_t) { return true; }

private:
	// A position is good only in the stream that gave it, and a counted
	// place costs as much to reach as a listing from the start: there is
	// no hint to go back to.
	[[nodiscard]] bool go_back(bool to_hint, bool)
	{
		if (to_hint)
			return false;
		rewinddir(dir_);
		return true;
	}
	[[nodiscard]] bool lasting(dev_t) const { return false; }
	[[nodiscard]] bool seek_after_last(bool) { return false; }
	std::int64_t place() const { return 0; }
	[[nodiscard]] Found find(Mark m, std::size_t room, bool here, Mark also = 0, bool *also_first = nullptr);
	[[nodiscard]] Found after_passed(bool at_hint, std::size_t room);
	[[nodiscard]] bool is(Mark m, const char *name, std::size_t n) const;
	[[nodiscard]] bool returned_again(const char *name, std::size_t n, ino_t ino);
	void pass(Mark m) { passed_ = m; }

	DIR *dir_ = nullptr;
	Mark passed_ = 0, returned_ = 0;
};
#endif
