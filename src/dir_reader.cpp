#include "dir_reader.h"

#include <cstdint>
#include <unistd.h>
#if TREESTAMP_GETDENTS
#include <sys/vfs.h>
#endif

namespace {

// Never follow a link: an entry swapped for one after its status was taken is
// treated like a directory that vanished.
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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

bool DirReader::seek(std::int64_t to)
{
	lo_ = hi_ = 0;
	off_ = to;
	return lseek(fd(), static_cast<off_t>(to), SEEK_SET) >= 0;
}

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
