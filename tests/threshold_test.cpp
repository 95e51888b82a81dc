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
constexpr time_t kTimeMax = std::numeric_limits<time_t>::max();

std::string illegal(const std::string &text)
{
	return "Illegal argument for time in seconds, expected non-negative integer, found '" + text + "'\n";
}

TEST(Threshold, ParseSecondsAccepts)
{
	for (auto [text, value] : std::vector<std::pair<std::string, time_t>>{
	         {"0", 0}, {"", 0}, {"-0", 0}, {"+5", 5}, {"  42", 42}, {"\t7", 7}, {"007", 7},
	         {"1700000000", 1700000000}, {std::to_string(kTimeMax), kTimeMax}})
		EXPECT_EQ(parse_seconds(text.c_str()), value) << "'" << text << "'";
}

class Stop : public ::testing::Test {
protected:
	TempDir tmp;
	std::string log = tmp / "clock.log";
	std::string file = tmp / "file";
	void SetUp() override { tmp.make({{"file", 500}}); }
};

TEST_F(Stop, ArgumentsAcceptedAndRefused)
{
	const std::string huge = "99999999999999999999", overflow = "Integer overflow, ";
	const bool narrow = sizeof(time_t) == 4;
	for (const Case &c : std::vector<Case>{
	         // accepted: the file's own time is printed either way
	         {{file, "0"}, 0, "500\n"},   {{file, ""}, 0, "500\n"},   {{file, "-0"}, 0, "500\n"},
	         {{file, "+7"}, 0, "500\n"},  {{file, "  7"}, 0, "500\n"}, {{file, "r"}, 0, "500\n"},
	         {{file, "\n\v\f\r\t 7"}, 0, "500\n"},
	         {{file, "r0"}, 0, "500\n"},  {{file, "r 60"}, 0, "500\n"}, {{file, "r+60"}, 0, "500\n"},
	         {{file, "2147483647"}, 0, "500\n"}, {{file, "r2147483647"}, 0, "500\n"},
	         // the time type's range
	         narrow ? Case{{file, "2147483648"}, 1, "", overflow + "2147483648 out of range.\n"}
	                : Case{{file, "2147483648"}, 0, "500\n"},
	         narrow ? Case{{file, huge}, 1, "", overflow + "9223372036854775807 out of range.\n"}
	                : Case{{file, huge}, 0, "500\n"},
	         narrow ? Case{{file, "r" + huge}, 1, "", overflow + "9223372036854775807 out of range.\n"}
	                : Case{{file, "r" + huge}, 0, "500\n"},
	         // illegal, quoting the text handed to the parser, before any clock reading
	         {{file, "5s"}, 1, "", illegal("5s")},     {{file, "1 2"}, 1, "", illegal("1 2")},
	         {{file, "0x10"}, 1, "", illegal("0x10")}, {{file, "5 "}, 1, "", illegal("5 ")},
	         {{file, "abc"}, 1, "", illegal("abc")},   {{file, " "}, 1, "", illegal(" ")},
	         {{file, "+"}, 1, "", illegal("+")},       {{file, "+-5"}, 1, "", illegal("+-5")},
	         {{file, "-5"}, 1, "", illegal("-5")},     {{file, "-" + huge}, 1, "", illegal("-" + huge)},
	         {{file, huge + "x"}, 1, "", illegal(huge + "x")},
	         {{file, "R5"}, 1, "", illegal("R5")},     {{file, " r5"}, 1, "", illegal(" r5")},
	         {{file, "r-5"}, 1, "", illegal("-5")},    {{file, "rr"}, 1, "", illegal("r")},
	         {{file, "r5s"}, 1, "", illegal("5s")},
	     })
		check(c, {.env = c.status == 1 ? fake_clock("fail", log) : Strings{}});
	EXPECT_EQ(count_lines(log), 0);
}

// Chains (one entry per level) fix the walk order whatever the listing order.
TEST_F(Stop, AbsoluteStopsAtTheFirstRiseAboveIt)
{
	tmp.make({{"m", 100, Kind::dir}, {"m/a", 300, Kind::dir}, {"m/a/b", 200, Kind::dir},
	          {"m/a/b/c", 400, Kind::dir}, {"m/a/b/c/d", 350}});
	const std::string m = tmp / "m";
	for (const Case &c : std::vector<Case>{
	         {{m}, 0, "400\n"},         // no threshold: the whole tree
	         {{m, "0"}, 0, "400\n"},    // disabled
	         {{m, "99"}, 0, "100\n"},   // the root's own time stops it
	         {{m, "100"}, 0, "300\n"},  // equal does not stop
	         {{m, "250"}, 0, "300\n"},  // the first rise above it, not the newest
	         {{m, "300"}, 0, "400\n"},  {{m, "399"}, 0, "400\n"},
	         {{m, "400"}, 0, "400\n"},  // nothing above: walked to the end
	         {{m, "9999"}, 0, "400\n"},
	     })
		check(c, {.env = fake_clock("fail", log)});
	EXPECT_EQ(count_lines(log), 0);
}

TEST_F(Stop, ClockFailure)
{
	if (!preloadable())
		GTEST_SKIP() << "needs the preloaded stand-ins";
	const std::string no_clock = "Error getting current time\n";
	for (const char *arg : {"r10", "r", "r0"})
		check({{file, arg}, 3, "", no_clock}, {.env = fake_clock("fail", log)});
	// at a candidate, after a good reading at the argument
	check({{file, "r10"}, 3, "", no_clock}, {.env = fake_clock("495,-1", log)});
}

TEST_F(Stop, RelativeFollowsTheClockAtCandidatesOnly)
{
	if (!preloadable())
		GTEST_SKIP() << "needs the preloaded stand-ins";
	tmp.make({{"m", 950, Kind::dir}, {"m/a", 1100, Kind::dir}, {"m/a/b", 1250, Kind::dir},
	          {"m/a/b/c", 1400}});
	struct {
		const char *arg, *clock, *out;
		int readings;
	} cases[] = {
	    // 900 at the argument; 950 passes it but not 1300-100, which is kept,
	    // so 1100 reads no clock; 1250 is above the fresh 1200 and stops.
	    {"r100", "1000,1300", "1250\n", 3},
	    // 1250 reads 1500 and goes on; 1400, equal to the kept 1400, reads nothing.
	    {"r100", "1000,1300,1500", "1400\n", 3},
	    // 950 reads 1050: equal to the fresh 950, it does not stop; 1100
	    // reads 1300 and goes on; 1250 is above the kept 1200 and stops.
	    {"r100", "1000,1050,1300", "1250\n", 4},
	    {"r", "1000", "1100\n", 1},  // window 0: absolute at the first reading
	    {"r0", "1000", "1100\n", 1},
	    {"r1000", "1000", "1400\n", 1}, // a window as large as the present disables it
	    {"r5000", "1000", "1400\n", 1},
	};
	for (const auto &c : cases) {
		std::remove(log.c_str());
		check({{tmp / "m", c.arg}, 0, c.out}, {.env = fake_clock(c.clock, log)});
		EXPECT_EQ(count_lines(log), c.readings) << c.arg << " " << c.clock;
	}
}

} // namespace
