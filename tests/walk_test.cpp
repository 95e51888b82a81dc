// The walk and the result line, through the built program.
#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness.h"

namespace {

const char kUsage[] = "Syntax: treestamp <dir> [[r]<stopWhenYoungerSeconds>]\n";

class Walk : public ::testing::Test {
protected:
	TempDir tmp;
	std::string stat_error(const std::string &path, const std::string &text) const
	{
		return "Cannot stat() file " + path + ": " + text + "\n";
	}
};

TEST(Usage, WrongArgumentCountPrintsUsage)
{
	for (const auto &args : std::vector<std::vector<std::string>>{
	         {}, {"a", "b", "c"}, {"a", "b", "c", "d"}}) {
		SCOPED_TRACE(args.size());
		Result r = run(args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, kUsage);
	}
}

TEST_F(Walk, NewestTimeOfEachRoot)
{
	tmp.make({
	    {"d", 300, Kind::dir},
	    {"d/f", 500},
	    {"d/sub", 200, Kind::dir},
	    {"d/sub/g", 700},
	    {"d/ln", 100, Kind::link, "../newer"}, // a link counts with its own time only
	    {"newer", 9000, Kind::dir},
	    {"file", 123},
	    {"fifo", 77, Kind::fifo},
	    {"link", 50, Kind::link, "d"},
	    {"zero", 0, Kind::dir},
	    {"zero/neg", -5},
	    {"zero/z", 0},
	    {"empty", 42, Kind::dir},
	    {"dots", 10, Kind::dir},
	    {"dots/.hidden", 900},
	    {"dots/...", 10, Kind::dir},
	    {"dots/.../f", 950},
	    {"dots/..x", 800},
	});
	struct {
		const char *root;
		const char *out;
	} cases[] = {
	    {"d", "700\n"},   {"d/", "700\n"},    {"d//", "700\n"},    {"file", "123\n"},
	    {"fifo", "77\n"}, {"link", "50\n"},   {"link/", "700\n"},  {"zero", "0\n"},
	    {"empty", "42\n"}, {"dots", "950\n"}, {"zero/neg", "0\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.root);
		Result r = run({tmp / c.root});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, "");
	}
}

TEST_F(Walk, RootThatCannotBeExamined)
{
	tmp.make({{"file", 1}});
	struct {
		std::string root;
		const char *text;
	} cases[] = {
	    {"", "No such file or directory"},
	    {tmp / "missing", "No such file or directory"},
	    {tmp / "file/", "Not a directory"},
	    {std::string(PATH_MAX, 'x'), "File name too long"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.root.substr(0, 80));
		Result r = run({c.root});
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, stat_error(c.root, c.text));
	}
}

TEST_F(Walk, ListingErrorIsNotTheEnd)
{
	tmp.make({{"c", 100, Kind::dir}, {"c/a", 200, Kind::dir}, {"c/a/f", 300}});
	struct {
		const char *root;
		const char *failing;
		const char *named;
	} cases[] = {{"c", "c", "c"}, {"c/", "c", "c/"}, {"c//", "c", "c//"}, {"c", "c/a", "c/a"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.root) + " " + c.failing);
		Result r = run({tmp / c.root}, {.env = failing_listing(tmp / c.failing)});
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "Cannot read directory " + tmp / c.named + ": Input/output error\n");
	}
}

// Past January 2038 a 32-bit time type cannot hold an entry's times.
TEST_F(Walk, TimesAtTheEdgeOfThe32BitRange)
{
	tmp.make({{"max", 2147483647}, {"past", 1}, {"atime", 1}});
	tmp.touch_wide("past", 2147483648, 2147483648);
	tmp.touch_wide("atime", 100, 2147483648);
	const std::string overflow = "Value too large for defined data type";
	struct {
		const char *root;
		const char *out;
	} cases[] = {{"max", "2147483647\n"}, {"past", "2147483648\n"}, {"atime", "100\n"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.root);
		Result r = run({tmp / c.root});
		bool fits = sizeof(time_t) > 4 || std::string(c.root) == "max";
		EXPECT_EQ(r.status, fits ? 0 : 2);
		EXPECT_EQ(r.out, fits ? c.out : "");
		EXPECT_EQ(r.err, fits ? "" : stat_error(tmp / c.root, overflow));
	}
}

// Permissions mean nothing to root, so these run as an unprivileged user.
TEST_F(Walk, UnreadableDirectoryIsSkippedWithItsOwnTime)
{
	tmp.make({{"t", 100, Kind::dir},
	          {"t/closed", 200, Kind::dir},
	          {"t/closed/x", 900},
	          {"t/noread", 300, Kind::dir},
	          {"t/noread/x", 900}});
	ASSERT_EQ(chmod((tmp / "t/closed").c_str(), 0), 0);
	ASSERT_EQ(chmod((tmp / "t/noread").c_str(), 0311), 0);
	Result r = run({tmp / "t"}, {.unprivileged = true, .program = tmp.program_copy()});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "300\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Walk, ListableButNotSearchableNamesTheEntryAsBuilt)
{
	tmp.make({{"t", 100, Kind::dir}, {"t/locked", 200, Kind::dir}, {"t/locked/f", 900}});
	ASSERT_EQ(chmod((tmp / "t/locked").c_str(), 0444), 0);
	std::string program = tmp.program_copy();
	struct {
		const char *root;
		const char *entry;
	} cases[] = {{"t", "t/locked/f"}, {"t/", "t/locked/f"}, {"t//", "t//locked/f"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.root);
		Result r = run({tmp / c.root}, {.unprivileged = true, .program = program});
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, stat_error(tmp / c.entry, "Permission denied"));
	}
}

TEST_F(Walk, UnwrittenResultIsAFailure)
{
	tmp.make({{"file", 123}});
	struct {
		Output output;
		const char *err;
	} cases[] = {
	    {Output::full_device, "Error writing result: No space left on device\n"},
	    {Output::closed, "Error writing result: Bad file descriptor\n"},
	};
	for (const auto &c : cases) {
		Result r = run({tmp / "file"}, {.output = c.output});
		EXPECT_EQ(r.status, 4);
		EXPECT_EQ(r.err, c.err);
	}
}

TEST_F(Walk, FewDescriptorsGiveTheRightTimeOrAClearFailure)
{
	tmp.make({{"deep", 1, Kind::dir}});
	tmp.chain("deep", 200, "d", 1000);
	tmp.touch("deep", 1);
	struct rlimit limit;
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);

	// The soft limit is raised as far as the hard one allows.
	if (limit.rlim_max >= 256) {
		Result r = run({tmp / "deep"}, {.nofile_soft = 64, .nofile_hard = limit.rlim_max});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "1200\n");
	}
	// Where it cannot be, the walk says so instead of printing a partial time.
	// (A leak checker, where built in, needs a descriptor of its own at exit.)
	Result r = run({tmp / "deep"}, {.env = {"ASAN_OPTIONS=detect_leaks=0"},
	                                 .nofile_soft = 64,
	                                 .nofile_hard = 64});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "");
	std::string prefix = "Cannot open directory " + tmp / "deep/d/";
	EXPECT_EQ(r.err.substr(0, prefix.size()), prefix);
	EXPECT_TRUE(r.err.ends_with("/d: Too many open files\n")) << r.err;
}

// A chain of one-letter directories ending in a file, the newest entry,
// whose path is length bytes long.
std::string path_of_length(const TempDir &tmp, std::size_t length)
{
	tmp.make({{"long", 1, Kind::dir}});
	std::size_t fixed = (tmp / "long").size() + 1;
	std::size_t name = 2 + (length - fixed) % 2; // leaves an even span for "a/" steps
	auto levels = static_cast<int>((length - fixed - name) / 2);
	std::string entry = tmp.chain("long", levels, "a", 5000 - levels - 1, std::string(name, 'f'));
	tmp.touch("long", 1);
	return entry;
}

TEST_F(Walk, PathJustBelowTheLimitIsExaminedWithASmallStack)
{
	std::string entry = path_of_length(tmp, PATH_MAX - 1);
	ASSERT_EQ(entry.size(), PATH_MAX - 1u);
	// About two thousand levels; a megabyte is an eighth of the usual stack.
	Result r = run({tmp / "long"}, {.stack = 1024 * 1024});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "5000\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Walk, PathAtTheLimitFailsAsItsStatusCallWould)
{
	std::string entry = path_of_length(tmp, PATH_MAX);
	ASSERT_EQ(entry.size(), static_cast<std::size_t>(PATH_MAX));
	Result r = run({tmp / "long"});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, stat_error(entry, "File name too long"));
}

} // namespace
