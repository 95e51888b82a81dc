// The walk and the result line, through the built program.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "front.h"
#include "harness.h"

namespace {

std::string stat_error(const std::string &path, const std::string &text)
{
	return "Cannot stat() file " + path + ": " + text + "\n";
}

TEST(Walk, WrongArgumentCountPrintsUsage)
{
	const char usage[] = "Syntax: treestamp <dir> [[r]<stopWhenYoungerSeconds>]\n";
	for (const Strings &args : {Strings{}, Strings{"a", "b", "c"}, Strings{"a", "b", "c", "d"}})
		check({args, 1, "", usage});
}

TEST(Walk, NewestTimeOfEachRoot)
{
	TempDir tmp;
	tmp.make({{"d", 300, Kind::dir},      {"d/f", 500},
	          {"d/sub", 200, Kind::dir},  {"d/sub/g", 700},
	          {"d/ln", 100, Kind::link, "../newer"}, // counts with its own time only
	          {"newer", 9000, Kind::dir}, {"file", 123},
	          {"fifo", 77, Kind::fifo},   {"link", 50, Kind::link, "d"},
	          {"zero", 0, Kind::dir},     {"zero/neg", -5},
	          {"zero/z", 0},              {"empty", 42, Kind::dir},
	          {"dots", 10, Kind::dir},    {"dots/.hidden", 900},
	          {"dots/...", 10, Kind::dir}, {"dots/.../f", 950},
	          {"dots/..x", 800}});
	for (const Case &c : std::vector<Case>{
	         {{tmp / "d"}, 0, "700\n"},       {{tmp / "d/"}, 0, "700\n"},
	         {{tmp / "d//"}, 0, "700\n"},     {{tmp / "file"}, 0, "123\n"},
	         {{tmp / "fifo"}, 0, "77\n"},     {{tmp / "link"}, 0, "50\n"},
	         {{tmp / "link/"}, 0, "700\n"},   {{tmp / "zero"}, 0, "0\n"},
	         {{tmp / "zero/neg"}, 0, "0\n"},  {{tmp / "empty"}, 0, "42\n"},
	         {{tmp / "dots"}, 0, "950\n"},
	         // roots that cannot be examined
	         {{""}, 2, "", stat_error("", "No such file or directory")},
	         {{tmp / "missing"}, 2, "", stat_error(tmp / "missing", "No such file or directory")},
	         {{tmp / "file/"}, 2, "", stat_error(tmp / "file/", "Not a directory")},
	         {{std::string(PATH_MAX, 'x')}, 2, "", stat_error(std::string(PATH_MAX, 'x'), error_text(ENAMETOOLONG))},
	     })
		check(c);
}

// A listing refused or gone is skipped like a directory that cannot be
// opened; any other error would drop a subtree, so it ends the run. So does
// an entry whose status fails for any reason but its removal.
TEST(Walk, ListingAndStatusErrors)
{
	if (!preloadable())
		GTEST_SKIP() << "needs the preloaded stand-ins";
	TempDir tmp;
	tmp.make({{"c", 100, Kind::dir}, {"c/a", 200, Kind::dir}, {"c/a/f", 300}, {"c/b", 150}});
	for (int err : {EIO, EINVAL}) { // EINVAL is skipped on /proc only
		const std::string error = ": " + error_text(err) + "\n";
		for (const char *root : {"c", "c/", "c//"})
			check({{tmp / root}, 2, "", "Cannot read directory " + tmp / root + error},
			      {.env = failing_listing(tmp / "c", err)});
		check({{tmp / "c"}, 2, "", "Cannot read directory " + tmp / "c/a" + error},
		      {.env = failing_listing(tmp / "c/a", err)});
	}
	for (int err : {EACCES, EPERM, ENOENT}) {
		check({{tmp / "c"}, 0, "100\n"}, {.env = failing_listing(tmp / "c", err)});
		check({{tmp / "c"}, 0, "200\n"}, {.env = failing_listing(tmp / "c/a", err)});
	}
	for (int err : {ENOENT, ESRCH}) // a and all below it gone
		check({{tmp / "c"}, 0, "150\n"}, {.env = failing_status("a", err)});
	for (int err : {EACCES, EIO})
		check({{tmp / "c"}, 2, "", stat_error(tmp / "c/a", error_text(err))},
		      {.env = failing_status("a", err)});
	// a replaced by something that is no directory between its status and
	// its open, which refuses to follow a link (Linux says ENOTDIR, others
	// ELOOP): its own time counts; last, the real change, which makes c new
	for (int err : {ENOTDIR, ELOOP})
		check({{tmp / "c"}, 0, "200\n"}, {.env = failing_open("a", err)});
	// where the file system can swap a directory and a link (FUSE may not)
	tmp.make({{"ln", 1, Kind::link, "c"}, {"swap", 1, Kind::dir}, {"swap_ln", 1, Kind::link, "c"}});
	if (renameat2(AT_FDCWD, (tmp / "swap").c_str(), AT_FDCWD, (tmp / "swap_ln").c_str(), RENAME_EXCHANGE) == 0)
		check({{tmp / "c"}, 0, "200\n"}, {.env = exchange_on_open("a", tmp / "c/a", tmp / "ln")});
	// the root's parent swapped for a link to another tree between the
	// root's status and its open: nothing of the other tree counts
	tmp.make({{"p", 1, Kind::dir}, {"p/r", 100, Kind::dir}, {"q", 1, Kind::dir}, {"q/r", 100, Kind::dir},
	          {"q/r/f", 900}, {"to_q", 1, Kind::link, "q"}});
	check({{tmp / "p/r"}, 0, "100\n"},
	      {.env = change_on_open(tmp / "p/r", {}, {}, {tmp / "p>" + tmp / "p.old", tmp / "to_q>" + tmp / "p"})});
}

// Runs the program on root again and again for at least a second while
// another process changes things: every run must print a time, and the
// planted one where given. Ends the other process.
void every_run_prints_a_time(pid_t changer, const std::string &root, const std::string &out,
                             const RunOptions &options = {})
{
	ASSERT_GT(changer, 0);
	const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
	for (int runs = 0; runs < 5 || std::chrono::steady_clock::now() < until; ++runs) {
		Result r = run({root}, options);
		if (r.status != 0 || r.out.empty() || !r.err.empty() || (!out.empty() && r.out != out)) {
			ADD_FAILURE() << "run " << runs << ": status " << r.status << ", " << r.out << r.err;
			break;
		}
	}
	kill(changer, SIGKILL);
	waitpid(changer, nullptr, 0);
}

// Another process keeps making and removing directories and files: whatever
// vanished before or while it was examined is no longer part of the tree.
TEST(Walk, TreeChangedWhileWalked)
{
	TempDir tmp;
	tmp.make({{"live", 100, Kind::dir}, {"live/newest", 2147483647}});
	const std::string root = tmp / "live";
	pid_t churner = fork();
	if (churner == 0) {
		int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
		const char *steps[] = {"s", "s/t", "s/t/u", "s/v"};
		for (;;) {
			for (const char *step : steps)
				mkdirat(fd, step, 0755);
			close(openat(fd, "s/t/f", O_CREAT | O_WRONLY, 0644));
			unlinkat(fd, "s/t/f", 0);
			for (int i = 3; i >= 0; --i)
				unlinkat(fd, steps[i], AT_REMOVEDIR);
		}
	}
	every_run_prints_a_time(churner, root, "2147483647\n");
}

// With one descriptor to spare, a directory lets go of its own at each of
// its chains and lists anew on return, while another process keeps making
// and removing files in it: what it counts from the start shifts at each
// change, and the walk must still end with the planted time.
TEST(Walk, BusyDirectoryThatLetsGo)
{
	if (emulated() || sanitized())
		GTEST_SKIP() << "the descriptor limit would bind the emulator or the sanitizers' run-time";
	TempDir tmp;
	std::vector<Node> nodes = {{"busy", 100, Kind::dir}, {"busy/newest", 2147483647}};
	for (int i = 0; i < 100; ++i)
		nodes.push_back({"busy/f" + std::to_string(i), 200});
	tmp.make(nodes);
	for (int i = 0; i < 20; ++i)
		tmp.chain("busy", 10, std::string("c").append(std::to_string(i)), 1000);
	const std::string root = tmp / "busy";
	pid_t churner = fork();
	if (churner == 0) {
		int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
		for (int i = 0;; i = (i + 1) % 64) {
			close(openat(fd, ("new" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
			unlinkat(fd, ("new" + std::to_string((i + 32) % 64)).c_str(), 0);
		}
	}
	every_run_prints_a_time(churner, root, "2147483647\n", {.prefix = {"prlimit", "--nofile=4:4", "--"}});
}

// Processes come and go under /proc while it is walked, and take their
// directories with them at any point of their listing.
TEST(Walk, ProcWhileProcessesComeAndGo)
{
	struct stat st;
	if (stat("/proc/self", &st) != 0)
		GTEST_SKIP() << "no /proc here";
	pid_t spawner = fork();
	if (spawner == 0) {
		for (;;) {
			pid_t child = fork();
			if (child == 0)
				_exit(0);
			waitpid(child, nullptr, 0);
		}
	}
	every_run_prints_a_time(spawner, "/proc", "");
}

// Past January 2038 a 32-bit time type holds neither modification nor access
// time; sizes past 4 GiB must fit on every build.
TEST(Walk, LimitsOfThe32BitBuild)
{
	TempDir tmp;
	tmp.make({{"max", 2147483647}, {"past", 1}, {"atime", 1}, {"big", 1}});
	tmp.touch("past", "2147483648", "2147483648");
	tmp.touch("atime", "100", "2147483648");
	ASSERT_EQ(truncate((tmp / "big").c_str(), off_t{5} << 30), 0);
	tmp.touch("big", "300", "300");
	const bool wide = sizeof(time_t) > 4;
	const std::string overflow = error_text(EOVERFLOW);
	check({{tmp / "max"}, 0, "2147483647\n"});
	check({{tmp / "big"}, 0, "300\n"});
	for (const Case &c : std::vector<Case>{
	         {{tmp / "past"}, 0, "2147483648\n"},
	         {{tmp / "atime"}, 0, "100\n"},
	     })
		check(wide ? c : Case{c.args, 2, "", stat_error(c.args[0], overflow)});
}

TEST(Walk, UnreadableDirectoryIsSkippedWithItsOwnTime)
{
	TempDir tmp;
	tmp.make({{"t", 100, Kind::dir},      {"t/closed", 200, Kind::dir}, {"t/closed/x", 900},
	          {"t/noread", 300, Kind::dir}, {"t/noread/x", 900}});
	ASSERT_EQ(chmod((tmp / "t/closed").c_str(), 0), 0);
	ASSERT_EQ(chmod((tmp / "t/noread").c_str(), 0311), 0);
	check({{tmp / "t"}, 0, "300\n"}, {.prefix = unprivileged(), .program = tmp.program_copy()});
}

TEST(Walk, ListableButNotSearchableNamesTheEntryAsBuilt)
{
	TempDir tmp;
	tmp.make({{"t", 100, Kind::dir}, {"t/locked", 200, Kind::dir}, {"t/locked/f", 900}});
	ASSERT_EQ(chmod((tmp / "t/locked").c_str(), 0444), 0);
	RunOptions as_user{.prefix = unprivileged(), .program = tmp.program_copy()};
	const std::string denied = "Permission denied";
	check({{tmp / "t"}, 2, "", stat_error(tmp / "t/locked/f", denied)}, as_user);
	check({{tmp / "t/"}, 2, "", stat_error(tmp / "t/locked/f", denied)}, as_user);
	check({{tmp / "t//"}, 2, "", stat_error(tmp / "t//locked/f", denied)}, as_user);
}

TEST(Walk, UnwrittenResultIsAFailure)
{
	TempDir tmp;
	tmp.make({{"file", 123}});
	check({{tmp / "file"}, 4, "", "Error writing result: No space left on device\n"},
	      {.output = Output::full_device});
	check({{tmp / "file"}, 4, "", "Error writing result: Bad file descriptor\n"},
	      {.output = Output::closed});
}

// The walk never yields a negative time, so the extremes of the time type are
// printed directly, as "%d" or "%lld" would print them.
TEST(Walk, ResultLineOfEveryTime)
{
	const bool wide = sizeof(time_t) > 4;
	for (auto [t, line] : std::vector<std::pair<time_t, std::string>>{
	         {0, "0\n"}, {7, "7\n"}, {-1, "-1\n"}, {1700000000, "1700000000\n"},
	         {std::numeric_limits<time_t>::max(), wide ? "9223372036854775807\n" : "2147483647\n"},
	         {std::numeric_limits<time_t>::min(), wide ? "-9223372036854775808\n" : "-2147483648\n"}}) {
		TempDir tmp;
		const std::string out = tmp / "out";
		EXPECT_EXIT(
		    {
			    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
			    print_time_and_exit(t);
		    },
		    testing::ExitedWithCode(0), "");
		EXPECT_EQ(read_file(out), line);
	}
}

// Where name stands in the listing order.
std::size_t place(const Strings &order, const std::string &name)
{
	return static_cast<std::size_t>(std::find(order.begin(), order.end(), name) - order.begin());
}

// Plants the newest time on the entry of dir at each place of its listing
// order in turn (those there are, but the ways down), for the walk to find.
void newest_found_at(const TempDir &tmp, const std::string &dir, const Strings &order,
                     const std::vector<std::size_t> &places, const Strings &down,
                     const RunOptions &options = {})
{
	for (std::size_t at : places) {
		if (at >= order.size() || std::find(down.begin(), down.end(), order[at]) != down.end())
			continue;
		tmp.touch(dir + "/" + order[at], "5000", "5000");
		check({{tmp / dir}, 0, "5000\n"}, options);
		tmp.touch(dir + "/" + order[at], "200", "200");
	}
}

TEST(Walk, FewDescriptorsGiveTheRightTimeOrAClearFailure)
{
	TempDir tmp;
	tmp.make({{"deep", 1, Kind::dir}});
	tmp.chain("deep", 200, "d", 1000);
	tmp.touch("deep", "1", "1");
	// The soft limit is raised as far as the hard one allows; below that,
	// the shallowest levels let go of their descriptors.
	struct rlimit limit;
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
	Strings limits = {"64:64"};
	if (limit.rlim_max >= 256)
		limits.push_back("64:" + std::to_string(limit.rlim_max));
	for (const std::string &nofile : limits)
		check({{tmp / "deep"}, 0, "1200\n"}, {.prefix = {"prlimit", "--nofile=" + nofile, "--"}});
	// Only with nothing left to let go does the walk give up, and says so.
	if (preloadable())
		check({{tmp / "deep"}, 2, "", "Cannot open directory " + tmp / "deep/d: " + error_text(EMFILE) + "\n"},
		      {.env = failing_open("d", EMFILE)});
}

// Names that ext4's legacy directory hash, which has no seed, gives one
// position (the fs variant mounts such an ext4): a seek to it lists them all
// again from the first.
const Strings kOnePosition = {"dciuxaaa", "dyqmybaa", "dqxygiba"};
// A name that hash lists right before them, and after what listed_before()
// makes for them.
const std::string kBeforeOnePosition = "s1006";
// The first and the last share the walk's own name hash; tmpfs lists ways
// down of these names first, last, middle: another name of that hash before
// the subdirectory passed, and a way down after it.
const Strings kOneHash = {"n512789", "c", "n749192"};

// The walk's own name hash (FNV-1a, 32 bits).
std::uint32_t walk_hash(const std::string &name)
{
	std::uint32_t hash = 2166136261u;
	for (const char ch : name)
		hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619u;
	return hash;
}

// ext4's legacy directory hash, by which such an ext4 lists its entries.
std::uint32_t legacy_hash(const std::string &name)
{
	std::uint32_t hash = 0, h0 = 0x12a3fe2d, h1 = 0x37abe8f9;
	for (const char ch : name) {
		hash = h1 + (h0 ^ static_cast<std::uint32_t>(static_cast<signed char>(ch) * 7152373));
		if ((hash & 0x80000000) != 0)
			hash -= 0x7fffffff;
		h1 = h0;
		h0 = hash;
	}
	return h0 << 1;
}

// The size of name's record in a listing read from the kernel.
std::size_t record(const std::string &name)
{
	return (19 + name.size() + 1 + 7) / 8 * 8;
}

// Names that the legacy hash lists before every name in after, and whose
// records take bytes (a multiple of 8) together.
Strings listed_before(std::size_t bytes, const Strings &after)
{
	std::uint32_t below = UINT32_MAX;
	for (const auto &name : after)
		below = std::min(below, legacy_hash(name));
	Strings names;
	for (int i = 0; bytes > 0; ++i) {
		// At most 280 bytes, for a name of NAME_MAX; the last one no
		// shorter than 32, for a name of a few digits.
		const std::size_t size = bytes <= 280 ? bytes : bytes - 280 >= 32 ? 280 : bytes - 32;
		std::string name = "f" + std::to_string(i);
		name.resize(std::min<std::size_t>(size - 20, NAME_MAX), 'f');
		if (legacy_hash(name) < below) {
			names.push_back(name);
			bytes -= size;
		}
	}
	return names;
}

// The way down from a wide directory: a chain of 60 directories named
// name, and a directory named bottom in the deepest.
std::string way_down(const std::string &name)
{
	std::string way;
	for (int i = 0; i < 60; ++i)
		way += "/" + name;
	return way + "/bottom";
}

// Makes rel: its own time 100, 600 entries timed 200 whose long names take
// several reads to list, and the way down each of chains, made amid them
// (the first after the others), so that entries lie before, between and
// after the chains where a directory lists its entries in the order they
// were made, or the reverse. Returns rel's listing order.
Strings wide_with_chain(const TempDir &tmp, const std::string &rel, const Strings &chains = {"c"})
{
	tmp.make({{rel, 100, Kind::dir}});
	for (int part = 0; part < 3; ++part) {
		std::vector<Node> nodes;
		for (int i = part * 200; i < part * 200 + 200; ++i)
			nodes.push_back({rel + "/" + std::to_string(i) + std::string(200, 'n'), 200});
		tmp.make(nodes);
		for (std::size_t i = 1; part == 0 && i < chains.size(); ++i)
			tmp.chain(rel, 60, chains[i], 1000);
		if (part == 1)
			tmp.chain(rel, 60, chains[0], 1000);
	}
	for (const auto &name : chains) {
		const std::string way = way_down(name);
		tmp.make({{rel + way, 1100, Kind::dir}});
		tmp.touch(rel + way.substr(0, way.rfind('/')), "1060", "1060");
	}
	tmp.touch(rel, "100", "100");
	return listing(tmp / rel);
}

// The directories of the way down name below w, the deepest first.
Strings way_down_below(const std::string &w, const std::string &name)
{
	Strings levels;
	for (std::string below = w + way_down(name); below.size() > w.size(); below.erase(below.rfind('/')))
		levels.push_back(below);
	return levels;
}

// The overlay's lower layer where the fs variant mounts one, else null: a
// tree made there lists through the mount as a directory of one layer
// until a change copies it up.
const char *overlay_lower()
{
	const char *lower = std::getenv("TREESTAMP_OVERLAY_LOWER");
	return lower != nullptr && *lower != '\0' ? lower : nullptr;
}

// The path through the overlay of rel in tmp, made in its lower layer; rel
// in tmp itself where there is no overlay.
std::string through_mount(const TempDir &tmp, const std::string &rel, const char *lower)
{
	return lower != nullptr ? std::getenv("TMPDIR") + (tmp / rel).substr(std::strlen(lower)) : tmp / rel;
}

// Where the walk makes ext4 forget its place in a group cut by a read (a
// seek to 0, a read of one byte that ext4 refuses, a seek back), each of
// those calls fails in turn with an input/output error: the run ends with
// its status and message, or finds the newest, planted on the group's
// first, with which the first read ended: where ext4 goes on from its
// place, it never lists that one again.
void each_reset_call_fails(const TempDir &tmp, const std::string &dir, const std::string &first, const std::string &row)
{
	if (emulated() || std::system("command -v strace >/dev/null") != 0) {
		premise_void(row, "no strace here to fail the calls, or an emulator's calls in the way");
		return;
	}
	const std::string trace = tmp / "trace", root = tmp / dir;
	tmp.touch(dir + "/" + first, "5000", "5000");
	check({{root}, 0, "5000\n"}, {.prefix = {"strace", "-o", trace, "-e", "trace=lseek,getdents64", "--"}});
	// lseek and getdents64 calls, each counted from 1, as strace counts them
	std::istringstream lines(read_file(trace));
	int seeks = 0, reads = 0, reset = 0;
	for (std::string line; std::getline(lines, line) && reset == 0;) {
		if (line.rfind("lseek(", 0) == 0)
			++seeks;
		else if (line.rfind("getdents64(", 0) == 0 && ++reads && line.find(", 1)") != std::string::npos &&
		         line.find("= -1 EINVAL") != std::string::npos)
			reset = reads;
	}
	if (reset == 0) {
		premise_void(row, "the walk made ext4 forget no place");
		return;
	}
	const std::string failed = "Cannot read directory " + root + ": " + error_text(EIO) + "\n";
	for (const std::string &inject : {"lseek:error=EIO:when=" + std::to_string(seeks),
	                                  "getdents64:error=EIO:when=" + std::to_string(reset),
	                                  "lseek:error=EIO:when=" + std::to_string(seeks + 1)}) {
		SCOPED_TRACE(inject);
		const Result r = run({root}, {.prefix = {"strace", "-o", "/dev/null", "-e", "inject=" + inject, "--"}});
		if (r.status != 0 || r.out != "5000\n") {
			EXPECT_EQ(r.status, 2) << r.out;
			EXPECT_EQ(r.err, failed);
		}
	}
	tmp.touch(dir + "/" + first, "200", "200");
}

// With one descriptor to spare, every level lets go of its own to open the
// next one and opens it again on return; a listing several reads long must
// go on where it was, and a directory replaced meanwhile is not listed.
TEST(Walk, LevelsThatLetGoGoOnWhereTheyWere)
{
	if (emulated() || sanitized())
		GTEST_SKIP() << "the descriptor limit would bind the emulator or the sanitizers' run-time";
	const RunOptions one_spare{.prefix = {"prlimit", "--nofile=4:4", "--"}};
	for (const Strings &chains : {Strings{"c"}, kOnePosition, kOneHash}) {
		TempDir tmp;
		const Strings order = wide_with_chain(tmp, "wide", chains);
		if (chains == kOnePosition) {
			const auto listed = kernel_listing(tmp / "wide");
			std::set<long long> starts;
			for (const auto &l : listed)
				if (std::find(chains.begin(), chains.end(), l.name) != chains.end())
					starts.insert(l.start);
			if (starts.size() != 1)
				premise_void(chains[0], "its names do not share one position here");
		}
		if (chains == kOneHash) {
			EXPECT_EQ(walk_hash(chains[0]), walk_hash(chains[2]));
			if (!(place(order, chains[0]) < place(order, chains[2]) && place(order, chains[2]) < place(order, chains[1])))
				premise_void(chains[0], "not listed first, last, middle here");
		}
		// the first entry, one halfway to the first chain, the one right
		// after each chain, one in a later read and the last
		const std::size_t last = order.size() - 1;
		std::size_t first = last;
		std::vector<std::size_t> at = {0, last};
		for (const auto &chain : chains) {
			first = std::min(first, place(order, chain));
			at.push_back(place(order, chain) + 1);
		}
		at.insert(at.end(), {first / 2, (first + last + 1) / 2});
		newest_found_at(tmp, "wide", order, at, chains, one_spare);
	}
	if (!preloadable())
		return;
	// While the walk is at the bottom of the chain, wide having let go:
	// entries listed before the chain go (the nearest first), new ones come,
	// or the chain itself goes, moves away and back (a name that comes back
	// may be listed elsewhere) or is replaced; or its deepest directory goes
	// right after it was opened again. Wide is opened again on return, its
	// old position perhaps meaningless; the entry after the chain planted
	// newest must be found. In the last rows there is a second chain, listed
	// after the first: it goes in the same visit of w, with the entry listed
	// before it; or the first goes, or moves away and back (and may be listed
	// after the second), while the walk is below the second. In the very
	// last, three chains share a position, and the middle one goes.
	enum class Way {
		stays, gone, moved_back, replaced, gone_after_reopen, second_gone, first_gone, first_moved_back, shared_gone
	};
	struct Change {
		std::size_t removed, created, planted; // planted: how far after the chain
		Way way = Way::stays;
	};
	const std::size_t far = 1000; // the last entry
	for (const Change &change : std::vector<Change>{
	         {1, 0, 1}, {5, 5, 1}, {40, 0, 3}, {0, 40, 2}, {20, 20, far}, {0, 0, 1, Way::gone},
	         {0, 0, 1, Way::moved_back}, {0, 0, 1, Way::replaced}, {0, 0, 1, Way::gone_after_reopen},
	         {0, 0, 1, Way::second_gone}, {0, 0, 1, Way::first_gone}, {0, 0, 1, Way::first_moved_back},
	         {0, 0, 1, Way::shared_gone}}) {
		// On an overlay the tree is made in the lower layer, where the mount
		// has not looked yet, so that the change copies wide up, which then
		// lists as a merged directory with offsets of its own.
		const char *lower = overlay_lower();
		TempDir tmp(lower != nullptr ? lower : "");
		const bool two =
		    change.way == Way::second_gone || change.way == Way::first_gone || change.way == Way::first_moved_back;
		Strings chains = change.way == Way::shared_gone ? kOnePosition : two ? Strings{"c", "d"} : Strings{"c"};
		const Strings order = wide_with_chain(tmp, "w", chains);
		// The chain the walk is in at the change: the second, where there
		// are more, and the first is the one before it.
		std::sort(chains.begin(), chains.end(),
		          [&](const std::string &a, const std::string &b) { return place(order, a) < place(order, b); });
		const std::string first = chains[0], down = chains[chains.size() > 1];
		const std::size_t chain = place(order, down);
		const std::string planted = order[std::min(chain + change.planted, order.size() - 1)];
		SCOPED_TRACE(std::to_string(change.removed) + " removed, " + std::to_string(change.created) +
		             " created, way " + std::to_string(static_cast<int>(change.way)) + ", planted " +
		             planted.substr(0, 5));
		// Later than any time the change gives the entries it touches.
		tmp.touch("w/" + planted, "2147483647", "2147483647");
		const std::string w = through_mount(tmp, "w", lower);
		std::string trigger = "bottom";
		Strings gone, made, moved;
		for (std::size_t i = 1; i <= change.removed && i <= chain; ++i)
			gone.push_back(w + "/" + order[chain - i]);
		for (std::size_t i = 0; i < change.created; ++i)
			made.push_back(w + "/new" + std::to_string(i));
		switch (change.way) {
		case Way::stays: break;
		case Way::gone: gone = way_down_below(w, "c"); break;
		case Way::moved_back: moved = {w + "/c>" + w + "/c.away", w + "/c.away>" + w + "/c"}; break;
		case Way::replaced: moved = {w + "/c>" + w + "/c.old"}, made = {w + "/c/"}; break;
		case Way::gone_after_reopen:
			gone = way_down_below(w, "c");
			gone.resize(2);
			trigger = gone[1];
			break;
		case Way::second_gone:
			gone = way_down_below(w, first);
			gone.push_back(";");
			for (const auto &level : way_down_below(w, down))
				gone.push_back(level);
			for (std::size_t j = chain; j-- > 0;)
				if (order[j] != first) {
					gone.push_back(w + "/" + order[j]);
					break;
				}
			break;
		case Way::first_moved_back:
			moved = {";", w + "/" + first + ">" + w + "/" + first + ".away", w + "/" + first + ".away>" + w + "/" + first};
			break;
		case Way::first_gone:
		case Way::shared_gone:
			gone = way_down_below(w, change.way == Way::first_gone ? first : down);
			gone.insert(gone.begin(), ";");
			break;
		}
		check({{w}, 0, "2147483647\n"}, {.env = change_on_open(trigger, gone, made, moved, change.way == Way::gone_after_reopen),
		                           .prefix = one_spare.prefix});
	}
	// r trades places with other while the walk, below r/a, has let go of
	// both: a/ is then gone, and the r it comes back to is other, whose
	// entries must not count; r's own may have been examined or skipped.
	TempDir tmp;
	tmp.make({{"r", 100, Kind::dir}, {"r/a", 200, Kind::dir}, {"r/a/b", 300, Kind::dir}, {"other", 1, Kind::dir}});
	std::vector<Node> older, newer;
	for (int i = 0; i < 50; ++i) {
		older.push_back({"r/" + std::to_string(i), 250});
		newer.push_back({"other/" + std::to_string(i), 900});
	}
	tmp.make(older);
	tmp.make(newer);
	tmp.touch("r", "100", "100");
	check({{tmp / "r"}, 0, "300\n"},
	      {.env = exchange_on_open("b", tmp / "r", tmp / "other"), .prefix = one_spare.prefix});
}

// Names that kernfs (sysfs, cgroupfs) gives one position, its 31-bit name
// hash, made before the other entries of their directory: then a seek to
// that position lands on the last of them, not the first (measured on
// Linux 6.18 with a named cgroup v1 hierarchy).
const Strings kKernfsOneHash = {"kakl", "kala", "kbaa"};

// kernfs's name hash before the bits it keeps (partial_name_hash with no
// namespace): names equal in it share one position on every kernel.
std::uint64_t kernfs_prehash(const std::string &name)
{
	std::uint64_t hash = 0;
	for (const char ch : name) {
		const auto c = static_cast<std::uint64_t>(static_cast<unsigned char>(ch));
		hash = (hash + (c << 4) + (c >> 4)) * 11;
	}
	return hash;
}

// Levels whose listings each fill a whole read outgrow the room the walk
// keeps for them; a level's unread entries must survive its subdirectories'
// walks, also where they were dropped from that room, to be read again
// later: forty levels along one path, and three ways down four levels deep
// that share one position. In the next two, on legacy-hash ext4, the top
// level's first read ends after the first of the names that share one
// position, files listed right after a way down, or ways down themselves;
// with no limit, and with one descriptor to spare. Then three ways down
// that share kernfs's one position, and, with no limit, an entry listed
// before the way down removed while the walk is below it, or the way down
// itself moved away and back: made as any tree (on an overlay, in its
// lower layer, so that the change copies it up), and on an overlay a
// directory of both layers whose removed entry was only in the upper one.
TEST(Walk, LargeDirectoriesAlongOnePath)
{
	enum class Change { none, removed_before, upper_removed_before, moved_back };
	struct Tree {
		Strings ways;
		int levels, names;
		Strings files = {};        // the top level's newest candidates, beside the ways
		bool cut = false;          // its first read cut after the first of kOnePosition
		Kind fill = Kind::file;    // directories: made as kernfs takes them, the ways first
		Change change = Change::none;
	};
	std::vector<RunOptions> limits = {{}};
	if (!emulated() && !sanitized())
		limits.push_back({.prefix = {"prlimit", "--nofile=4:4", "--"}});
	const char *tmpdir = std::getenv("TMPDIR");
	const bool kernfs = on_kernfs(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp");
	for (const auto &name : kKernfsOneHash)
		EXPECT_EQ(kernfs_prehash(name), kernfs_prehash(kKernfsOneHash[0])) << name;
	// In the changed trees, 234 names make each level's reads full but its
	// last, which is nearly so: whatever their order, w and c still hold
	// entries read ahead when the walk opens c/d, and drop them.
	for (const Tree &tree : {Tree{{"d"}, 40, 120}, Tree{kOnePosition, 4, 300},
	                         Tree{{kBeforeOnePosition}, 2, 130, kOnePosition, true},
	                         Tree{kOnePosition, 2, 130, {}, true}, Tree{kKernfsOneHash, 2, 130, {}, false, Kind::dir},
	                         Tree{{"c"}, 2, 234, {}, false, Kind::file, Change::removed_before},
	                         Tree{{"c"}, 2, 234, {}, false, Kind::file, Change::upper_removed_before},
	                         Tree{{"c"}, 2, 234, {}, false, Kind::file, Change::moved_back}}) {
		const std::string row = tree.ways[0] + (tree.change == Change::removed_before         ? ", the entry before it removed"
		                                        : tree.change == Change::upper_removed_before ? ", the upper entry before it removed"
		                                        : tree.change == Change::moved_back           ? ", moved away and back"
		                                                                                      : "");
		if (kernfs && tree.fill != Kind::dir)
			continue; // kernfs makes no files
		if (tree.change != Change::none && !preloadable()) {
			premise_void(row, "the change needs the preloaded stand-ins");
			continue;
		}
		const char *lower = tree.change != Change::none ? overlay_lower() : nullptr;
		if (tree.change == Change::upper_removed_before && lower == nullptr) {
			premise_void(row, "no overlay here to make a directory of both layers");
			continue;
		}
		TempDir tmp(lower != nullptr ? lower : "");
		std::vector<Node> nodes = {{"w", 100, Kind::dir}};
		auto fill = [&](const std::string &dir, int from = 0, int to = -1) {
			for (int i = from; i < (to < 0 ? tree.names : to); ++i)
				nodes.push_back({dir + "/" + std::to_string(i) + std::string(240, 'n'), 200, tree.fill});
		};
		auto ways = [&] {
			for (const auto &way : tree.ways) {
				std::string dir = "w/" + way;
				for (int level = 0; level < tree.levels; ++level, dir += "/d") {
					nodes.push_back({dir, 100, Kind::dir});
					fill(dir);
				}
			}
		};
		if (tree.fill == Kind::dir)
			ways();
		if (tree.change != Change::none) {
			// the way down amid the others, in order of making or its reverse
			fill("w", 0, tree.names / 2);
			if (tree.change != Change::upper_removed_before)
				ways();
			fill("w", tree.names / 2);
		} else if (!tree.cut) {
			fill("w");
		} else {
			// ., .., the names made here, the ways before the group and its
			// first fill 32 KiB
			std::size_t bytes = 32768 - record(".") - record("..") - record(kOnePosition[0]);
			Strings after = kOnePosition;
			for (const auto &way : tree.ways)
				if (std::find(after.begin(), after.end(), way) == after.end()) {
					after.push_back(way);
					bytes -= record(way);
				}
			for (const auto &name : listed_before(bytes, after))
				nodes.push_back({"w/" + name, 200});
		}
		if (tree.change == Change::upper_removed_before) {
			// the way and entries around it made through the mount, in the upper layer
			tmp.make(nodes);
			nodes.clear();
			for (int i = 0; i < 20; ++i)
				nodes.push_back({"u" + std::to_string(i), 200});
			ways();
			for (auto &node : nodes)
				node.path = node.path.substr(0, 2) == "w/" ? node.path.substr(2) : node.path;
			make_nodes(through_mount(tmp, "w", lower), nodes);
			set_times(through_mount(tmp, "w", lower), "100", "100");
		} else {
			if (tree.fill != Kind::dir && tree.change == Change::none)
				ways();
			for (const auto &file : tree.files)
				nodes.push_back({"w/" + file, 200});
			tmp.make(nodes);
			if (kernfs) // the files it makes in each directory count too
				set_times_below(tmp / "w", 200);
		}
		const std::string w = through_mount(tmp, "w", lower);
		const Strings order = listing(w);
		const auto listed = kernel_listing(w);
		auto of = [&](const std::string &name) {
			return *std::find_if(listed.begin(), listed.end(), [&](const Listed &l) { return l.name == name; });
		};
		if (tree.fill == Kind::dir && !kernfs)
			premise_void(row, "not on kernfs: walked as any tree");
		std::string cut_after; // the group's member that ends the first read
		if (tree.cut || (tree.fill == Kind::dir && kernfs)) {
			// the group shares one position; the first read ends after its first
			const Strings &group = tree.cut ? kOnePosition : kKernfsOneHash;
			const bool shared = std::all_of(group.begin(), group.end(),
			                                [&](const std::string &n) { return of(n).start == of(group[0]).start; });
			if (!shared)
				premise_void(row, "its names do not share one position here");
			std::vector<std::size_t> members;
			for (const auto &name : group)
				members.push_back(place(order, name));
			std::sort(members.begin(), members.end());
			if (shared && tree.cut && !(of(order[members[0]]).read == 0 && of(order[members[1]]).read > 0))
				premise_void(row, "the first read does not end inside the group");
			else if (shared && tree.cut)
				cut_after = order[members[0]];
		}
		if (tree.change != Change::none) {
			const std::size_t way = place(order, "c");
			// where its read holds nothing after it, w has nothing to drop
			if (way == 0 || way + 1 >= order.size() || of(order[way + 1]).read != of("c").read) {
				premise_void(row, "the way down is listed first, or last in its read");
				continue;
			}
			const std::string removed = order[way - 1];
			struct stat st;
			if (tree.change == Change::upper_removed_before && lstat((tmp / "w/" + removed).c_str(), &st) == 0) {
				premise_void(row, "the entry before the way down is in the lower layer");
				continue;
			}
			const std::string planted = "w/" + order[way + 1];
			// in the lower layer, where the mount has not looked, unless it was made through it
			set_times(tree.change == Change::upper_removed_before ? through_mount(tmp, planted, lower) : tmp / planted,
			          "5000", "5000");
			const std::string c = w + "/c";
			check({{w}, 0, "5000\n"}, {.env = tree.change == Change::moved_back
			                                       ? change_on_open("d", {}, {}, {c + ">" + c + ".away", c + ".away>" + c})
			                                       : change_on_open("d", {w + "/" + removed}, {})});
			continue;
		}
		// the top level's entry right after each way down, its files and its last
		std::vector<std::size_t> at = {order.size() - 1};
		for (const auto &way : tree.ways)
			at.push_back(place(order, way) + 1);
		for (const auto &file : tree.files)
			at.push_back(place(order, file));
		for (const RunOptions &limit : limits)
			newest_found_at(tmp, "w", order, at, tree.fill == Kind::dir ? Strings{} : tree.ways, limit);
		if (!cut_after.empty() && tree.files == kOnePosition)
			each_reset_call_fails(tmp, "w", cut_after, row);
	}
}

// A chain of one-letter directories ending in the newest entry, a file whose
// path is length bytes long.
std::string path_of_length(const TempDir &tmp, std::size_t length)
{
	tmp.make({{"long", 1, Kind::dir}});
	std::size_t fixed = (tmp / "long/").size();
	std::size_t name = 2 + (length - fixed) % 2; // leaves an even span for "a/" steps
	auto levels = static_cast<int>((length - fixed - name) / 2);
	std::string entry = tmp.chain("long", levels, "a", 4999 - levels, std::string(name, 'f'));
	tmp.touch("long", "1", "1");
	return entry;
}

// About two thousand levels, under stack limits far below what a recursive
// walk of them takes (the hard limit may keep the soft one from rising),
// with one descriptor beyond the standard three, or with less memory than
// a descriptor and a buffer for each level would take. With no environment,
// what the stack limit leaves the program does not depend on the suite's:
// the kernel's random offset of the stack (up to 8 KiB) still fits.
TEST(Walk, PathJustBelowTheLimitIsExaminedWithASmallStackFewDescriptorsOrLittleData)
{
	if (emulated())
		GTEST_SKIP() << "the limits would bind the emulator, which gives the program a stack of its own";
	if (sanitized())
		GTEST_SKIP() << "the sanitizers' run-time needs more than the limits leave, more or less by chance";
	TempDir tmp;
	ASSERT_EQ(path_of_length(tmp, PATH_MAX - 1).size(), PATH_MAX - 1u);
	for (const char *limit :
	     {"--stack=16384:", "--stack=65536:65536", "--stack=16384:16384", "--nofile=4:4", "--data=393216"})
		check({{tmp / "long"}, 0, "5000\n"}, {.prefix = {"env", "-i", "prlimit", limit, "--"}});
}

TEST(Walk, PathAtTheLimitFailsAsItsStatusCallWould)
{
	TempDir tmp;
	std::string entry = path_of_length(tmp, PATH_MAX);
	ASSERT_EQ(entry.size(), static_cast<std::size_t>(PATH_MAX));
	check({{tmp / "long"}, 2, "", stat_error(entry, error_text(ENAMETOOLONG))});
}

} // namespace
