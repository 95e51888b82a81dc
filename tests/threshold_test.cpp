// The stop threshold: its argument, the early stop and the clock.
#include <gtest/gtest.h>
#include <limits>

#include "front.h"
#include "harness.h"

namespace {

#ifdef TREESTAMP_EXPECT_TIME_BITS
// A build meant for one width must never quietly get the other.
static_assert(sizeof(time_t) * 8 == TREESTAMP_EXPECT_TIME_BITS);
#endif

// Expectations that depend on the width of the time type.
constexpr bool kNarrowTime = sizeof(time_t) == 4;
const std::string kTimeMax = std::to_string(std::numeric_limits<time_t>::max());

std::string illegal(const std::string &text)
{
	return "Illegal argument for time in seconds, expected non-negative integer, found '" + text +
	       "'\n";
}

TEST(ParseSeconds, AcceptedTexts)
{
	struct {
		const char *text;
		time_t value;
	} cases[] = {
	    {"0", 0}, {"", 0},  {"-0", 0},   {"+5", 5}, {"  42", 42}, {"\t7", 7},
	    {"007", 7}, {"1700000000", 1700000000}, {kTimeMax.c_str(), std::numeric_limits<time_t>::max()},
	};
	for (const auto &c : cases)
		EXPECT_EQ(parse_seconds(c.text), c.value) << "'" << c.text << "'";
}

class Threshold : public ::testing::Test {
protected:
	TempDir tmp;
	std::string log = tmp / "clock.log";
	void SetUp() override { tmp.make({{"file", 500}}); }
};

TEST_F(Threshold, RefusedArguments)
{
	struct {
		std::string arg;
		int status;
		std::string err;
	} cases[] = {
	    // illegal: leftovers, signs, anything that is not the relative form
	    {"5s", 1, illegal("5s")},
	    {"1 2", 1, illegal("1 2")},
	    {"0x10", 1, illegal("0x10")},
	    {"5 ", 1, illegal("5 ")},
	    {"abc", 1, illegal("abc")},
	    {" ", 1, illegal(" ")},
	    {"-5", 1, illegal("-5")},
	    {"-99999999999999999999", 1, illegal("-99999999999999999999")},
	    {"99999999999999999999x", 1, illegal("99999999999999999999x")},
	    {"R5", 1, illegal("R5")},
	    {" r5", 1, illegal(" r5")},
	    {"r-5", 1, illegal("-5")},
	    {"rr", 1, illegal("r")},
	    {"r5s", 1, illegal("5s")},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE("'" + c.arg + "'");
		Result r = run({tmp / "file", c.arg}, {.env = fake_clock("fail", log)});
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
	}
	// A malformed number is refused before the clock is read, failing or not.
	EXPECT_EQ(count_lines(log), 0);
}

TEST_F(Threshold, RangeOfTheTimeType)
{
	const std::string beyond64 = "99999999999999999999";
	struct {
		std::string arg;
		bool refused;
		std::string err;
	} cases[] = {
	    {"2147483647", false, ""},
	    {"r2147483647", false, ""},
	    {"2147483648", kNarrowTime, "Integer overflow, 2147483648 out of range.\n"},
	    {beyond64, kNarrowTime, "Integer overflow, 9223372036854775807 out of range.\n"},
	    {"r" + beyond64, kNarrowTime, "Integer overflow, 9223372036854775807 out of range.\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.arg);
		Result r = run({tmp / "file", c.arg});
		EXPECT_EQ(r.status, c.refused ? 1 : 0);
		EXPECT_EQ(r.out, c.refused ? "" : "500\n");
		EXPECT_EQ(r.err, c.refused ? c.err : "");
	}
}

TEST_F(Threshold, AcceptedArgumentsWalkTheTree)
{
	for (const char *arg : {"0", "", "-0", "+7", "  7", "r", "r0", "r 60", "r+60", "1"}) {
		SCOPED_TRACE(arg);
		Result r = run({tmp / "file", arg});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "500\n");
		EXPECT_EQ(r.err, "");
	}
}

// Chains (one entry per level) fix the walk order whatever the listing order.
TEST_F(Threshold, AbsoluteStopsAtTheFirstRiseAboveIt)
{
	tmp.make({{"m", 100, Kind::dir},
	          {"m/a", 300, Kind::dir},
	          {"m/a/b", 200, Kind::dir},
	          {"m/a/b/c", 400, Kind::dir},
	          {"m/a/b/c/d", 350}});
	struct {
		const char *arg;
		const char *out;
	} cases[] = {
	    {"0", "400\n"},   // disabled: the whole tree
	    {"99", "100\n"},  // the root's own time stops it before any entry
	    {"100", "300\n"}, // equal does not stop
	    {"250", "300\n"}, // the first rise above, not the newest
	    {"300", "400\n"},
	    {"399", "400\n"},
	    {"400", "400\n"}, // nothing above: walked to the end
	    {"9999", "400\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.arg);
		Result r = run({tmp / "m", c.arg}, {.env = fake_clock("fail", log)});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, "");
	}
	// Neither the absolute form nor no argument reads the clock.
	EXPECT_EQ(run({tmp / "m"}, {.env = fake_clock("fail", log)}).out, "400\n");
	EXPECT_EQ(count_lines(log), 0);
}

TEST_F(Threshold, ClockFailure)
{
	for (const char *arg : {"r10", "r", "r0"}) {
		Result r = run({tmp / "file", arg}, {.env = fake_clock("fail", log)});
		EXPECT_EQ(r.status, 3);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "Error getting current time\n");
	}
	// A failing reading at a candidate, after a good one at the argument.
	tmp.make({{"late", 995}});
	Result r = run({tmp / "late", "r10"}, {.env = fake_clock("1000,-1", log)});
	EXPECT_EQ(r.status, 3);
	EXPECT_EQ(r.err, "Error getting current time\n");
}

TEST_F(Threshold, RelativeFollowsTheClockAtCandidatesOnly)
{
	tmp.make({{"m", 950, Kind::dir},
	          {"m/a", 1100, Kind::dir},
	          {"m/a/b", 1250, Kind::dir},
	          {"m/a/b/c", 1400}});
	struct {
		const char *arg;
		const char *clock;
		const char *out;
		int readings;
	} cases[] = {
	    // 900 at the argument; 950 passes it but not 1300-100, which is kept,
	    // so 1100 reads no clock; 1250 is above the fresh 1200 and stops.
	    {"r100", "1000,1300", "1250\n", 3},
	    // The clock moves on faster than the entries: 1250 reads 1500, and
	    // 1400, equal to the kept 1400, reads nothing and does not stop.
	    {"r100", "1000,1300,1500,1700", "1400\n", 3},
	    // Window 0: absolute at the first reading.
	    {"r", "1000", "1100\n", 1},
	    {"r0", "1000", "1100\n", 1},
	    // A window as large as the present disables the stop.
	    {"r1000", "1000", "1400\n", 1},
	    {"r5000", "1000", "1400\n", 1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.arg) + " " + c.clock);
		std::remove(log.c_str());
		Result r = run({tmp / "m", c.arg}, {.env = fake_clock(c.clock, log)});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(count_lines(log), c.readings);
	}
}

} // namespace
