// Directory readers: a directory's entries in the order the system lists
// them, and what is left of a place in them after letting go of it.
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
// - rewind(): back to the start of the listing;
// - lasting(dev), seek_after_last(): whether the file system of the device
//   dev gives positions that keep their meaning when the directory changes
//   and is opened anew, and if so going right after the last name handed
//   out before the reader let go;
// - mark_passed(), seek_passed(): keeps where the last name handed out
//   began, and goes there again once the directory is open anew: a hint
//   to try before a listing from the start, where the reader has one;
// - drop(), unused(), fits(room): the scratch space that every level of
//   the walk shares, each after those above it.
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
	// levels below; a little less, so that positions in it fit 16 bits.
	static constexpr std::size_t kScratchSize = 2 * kChunk - 8;
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
		start_ = passed_ = 0;
	}
	bool held() const { return fd_ != 0; }
	int fd() const { return fd_ - 1; }
	void release();
	void close();

	[[nodiscard]] Next next(const char **name, std::size_t room)
	{
		if (lo_ == hi_) {
			long got = syscall(SYS_getdents64, fd(), scratch_ + room, std::min(kChunk, kScratchSize - room));
			if (got <= 0)
				return got == 0 ? Next::end : Next::error;
			lo_ = position(room);
			hi_ = position(room + static_cast<std::size_t>(got));
		}
		const auto *entry = reinterpret_cast<const KernelEntry *>(scratch_ + lo_);
		lo_ = static_cast<std::uint16_t>(lo_ + entry->reclen);
		start_ = static_cast<std::uint32_t>(off_);
		off_ = entry->off;
		if (lo_ == hi_) // all handed out: the levels below may have its room
			lo_ = hi_ = position(room);
		*name = entry->name;
		return Next::entry;
	}

	[[nodiscard]] bool rewind() { return seek(0); }
	// The offsets of ext4, xfs and btrfs are cookies that an NFS server
	// hands to its clients, so they stay good for the entries that stay:
	// a hash of the name, a place in the directory's data, a sequence
	// number. Those of others may count entries or index a listing built
	// at the open (tmpfs, which counted before Linux 6.6; FUSE; an
	// overlay's merged directories).
	[[nodiscard]] bool lasting(dev_t dev) const;
	[[nodiscard]] bool seek_after_last() { return seek(off_); }
	void mark_passed() { passed_ = start_; }
	[[nodiscard]] bool seek_passed() { return seek(passed_); }

	// Lets go of the buffered entries, to be read again from the kernel's
	// offset after the last one handed out, which this descriptor keeps.
	[[nodiscard]] bool drop();
	// Where the next level's buffered entries may begin.
	std::size_t unused() const { return hi_; }
	// True when a level whose entries begin at room has enough of it.
	static bool fits(std::size_t room) { return kScratchSize - room >= kMinRoom; }

private:
	static std::uint16_t position(std::size_t at) { return static_cast<std::uint16_t>(at); }
	[[nodiscard]] bool seek(std::int64_t to);

	alignas(8) static inline char scratch_[kScratchSize];

	std::int64_t off_ = 0;     // the kernel's offset after the last entry handed out
	// Where it began, and the place kept by mark_passed(): hints only, cut
	// to 32 bits, which is all the offsets that do not last take, and what
	// is read there counts only once it is known.
	std::uint32_t start_ = 0;
	std::uint32_t passed_ = 0;
	int fd_ = 0;               // one more than the descriptor, so that a closed reader is all zero bytes
	std::uint16_t lo_ = 0, hi_ = 0; // its entries not yet handed out
};
#else
// Reads a directory through the portable stream interface.
class DirReader {
public:
	constexpr DirReader() = default;
	DirReader(const DirReader &) = delete;
	DirReader &operator=(const DirReader &) = delete;

	[[nodiscard]] bool open(int parent, const char *name);
	void begin() {}
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

	[[nodiscard]] bool rewind()
	{
		rewinddir(dir_);
		return true;
	}
	// A position is good only in the stream that gave it.
	[[nodiscard]] bool lasting(dev_t) const { return false; }
	[[nodiscard]] bool seek_after_last()
	{
		errno = EINVAL;
		return false;
	}
	// Counted places cost as much to reach as a listing from the start.
	void mark_passed() {}
	[[nodiscard]] bool seek_passed() { return false; }

	// The C library buffers each stream itself, so there is no shared
	// space to make room in; these only let the walk read the same with
	// either reader.
	[[nodiscard]] bool drop() { return true; }
	std::size_t unused() const { return 0; }
	static bool fits(std::size_t) { return true; }

private:
	DIR *dir_ = nullptr;
};
#endif
