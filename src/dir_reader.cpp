#include "dir_reader.h"

#include <cstring>
#include <unistd.h>

namespace {

// Never follow a link: an entry swapped for one after its status was taken is
// treated like a directory that vanished.
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// True when the listed name is the len bytes at name.
bool named(const char *listed, const char *name, std::size_t len)
{
	return std::strncmp(listed, name, len) == 0 && listed[len] == '\0';
}

} // namespace

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

bool DirReader::seek(Place place)
{
	lo_ = hi_ = 0;
	off_ = place;
	return lseek(fd(), static_cast<off_t>(place), SEEK_SET) >= 0;
}

bool DirReader::drop()
{
	return lo_ == hi_ || seek(off_);
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
	count_ = 0;
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

bool DirReader::seek(Place place)
{
	if (place < count_) {
		rewinddir(dir_);
		count_ = 0;
	}
	for (; count_ < place; ++count_) {
		errno = 0;
		if (readdir(dir_) == nullptr)
			return errno == 0; // at the end: the next read says so
	}
	return true;
}
#endif

bool find_place(DirReader &dir, DirReader::Place last, const char *name, std::size_t len,
                std::size_t room, bool &restarted)
{
	const char *listed;
	// Where it last was, the one read that a directory left alone needs. An
	// error there only says that the place means nothing any more: an
	// overlay copied up meanwhile lists anew, a FUSE file system may build
	// its listing afresh at each open, and counted entries shift when some
	// before them go.
	if (dir.seek(last) && dir.next(&listed, room) == Next::entry && named(listed, name, len))
		return true;
	if (!dir.seek(0))
		return false;
	Next got;
	while ((got = dir.next(&listed, room)) == Next::entry)
		if (named(listed, name, len))
			return true;
	if (got == Next::error)
		return false;
	// Gone, removed or renamed: no place is known, so every entry is
	// examined again rather than one missed. Only once, so that a process
	// that keeps removing the directories the walk is in cannot keep it
	// going round.
	const bool again = restarted;
	restarted = true;
	return dir.seek(again ? last : 0);
}
