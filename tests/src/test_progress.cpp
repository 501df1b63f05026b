// Progress display: exact lines, time formats, the update and redraw timing under a fake
// clock, redraws of several displays on a pseudo-terminal, and write failures.
#include "progress.hpp"

#include "fd_capture.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vexa {
namespace {

using testing::StderrCapture;
using testing::TempFd;

constexpr std::string_view HIDE = "\x1b[?25l";
constexpr std::string_view SHOW = "\x1b[?25h";

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) {
    out += piece;
  }
  return out;
}

std::string spaces(std::size_t n) { return std::string(n, ' '); }
std::string blocks(std::size_t n) { return repeat("█", n); }

// Terminal bytes of one redraw that draws the given (already padded) lines.
std::string frame(const std::string &lines, std::size_t drawn = 1) {
  std::string out(HIDE);
  out += '\r';
  out += lines;
  if (drawn > 1) {
    out += "\x1b[" + std::to_string(drawn - 1) + "A";
  }
  out += SHOW;
  return out;
}

std::string pad(const std::string &line, std::size_t columns) {
  return line + spaces(columns - char_count(line));
}

// A clock the test sets by hand.
ProgressTime fake_time = 0;
ProgressTime fake_now() { return fake_time; }
constexpr ProgressTime SECOND = 1'000'000'000;
constexpr ProgressTime T0 = 1000 * SECOND;

// A pseudo-terminal of a chosen size in raw mode; displays write to its slave side and the
// test reads the bytes back from the master side.
class Pty {
public:
  Pty(unsigned short columns, unsigned short rows) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
      throw std::runtime_error("cannot open the pseudo-terminal's slave");
    }
    termios mode{};
    ::tcgetattr(slave_, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave_, TCSANOW, &mode);
    resize(columns, rows);
  }
  ~Pty() {
    ::close(slave_);
    ::close(master_);
  }
  Pty(const Pty &) = delete;
  Pty &operator=(const Pty &) = delete;

  void resize(unsigned short columns, unsigned short rows) {
    winsize size{};
    size.ws_col = columns;
    size.ws_row = rows;
    ::ioctl(slave_, TIOCSWINSZ, &size);
  }
  int fd() const { return slave_; }

  // What the terminal received since the last call; stops after 100 ms without new bytes.
  std::string take() {
    std::string text;
    pollfd ready{master_, POLLIN, 0};
    char buffer[4096];
    while (::poll(&ready, 1, 100) > 0) {
      const ssize_t got = ::read(master_, buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

private:
  int master_ = -1;
  int slave_ = -1;
};

TEST(ProgressLine, LayoutOnSixtyColumns) {
  // Layout examples for a 60-column terminal. Bar width W = 60 - |left| - |right|:
  // 60 - 5 - 26 = 29 at 0/10000; 60 - 5 - 38 = 17 at 4237/10000, where
  // q = floor(0.4237 * 17 * 9) = 64 gives 7 full blocks and eighth 1 ("▏"); 60 - 5 - 39 = 16
  // at 10000/10000. Remaining (10000 - 4237) / 815.3 = 7.07 s. Each bar line fills 60 columns.
  struct Case {
    const char *name;
    std::uint64_t count;
    std::optional<std::uint64_t> total;
    std::uint64_t elapsed;
    std::optional<double> rate;
    std::string expected;
  };
  const Case cases[] = {
      {"created", 0, 10000, 0, std::nullopt,
       "  0%|" + spaces(29) + "| 0/10000 [00:00<?, ?it/s]"},
      {"midway", 4237, 10000, 5, 815.30,
       " 42%|" + blocks(7) + "▏" + spaces(9) + "| 4237/10000 [00:05<00:07, 815.30it/s]"},
      {"finished", 10000, 10000, 12, 812.40,
       "100%|" + blocks(16) + "| 10000/10000 [00:12<00:00, 812.40it/s]"},
      {"enumeration", 726, std::nullopt, 1, 540.13, "726it [00:01, 540.13it/s]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = progress_line(c.count, c.total, c.elapsed, c.rate, 60);
    EXPECT_EQ(line, c.expected);
    if (c.total) {
      EXPECT_EQ(char_count(line), 60U);
    }
  }
}

TEST(ProgressLine, BarEighthsPercentAndWidth) {
  // right part "| k/8 [00:00<?, ?it/s]" is 22 characters and left " nn%|" 5, so 37 columns
  // leave a bar of W = 10. q = floor(f * W * 9).
  struct Case {
    const char *name;
    std::uint64_t count;
    std::uint64_t total;
    std::size_t columns;
    std::string expected;
  };
  const Case cases[] = {
      // q = floor(0.125 * 10 * 9) = 11: one block, eighth 2.
      {"one eighth", 1, 8, 37, " 12%|█▎" + spaces(8) + "| 1/8 [00:00<?, ?it/s]"},
      // q = floor(0.5 * 90) = 45: five blocks then the space of position 0.
      {"half", 4, 8, 37, " 50%|" + blocks(5) + spaces(5) + "| 4/8 [00:00<?, ?it/s]"},
      // q = floor(0.875 * 90) = 78: eight blocks, eighth 6.
      {"seven eighths", 7, 8, 37, " 87%|" + blocks(8) + "▊ | 7/8 [00:00<?, ?it/s]"},
      {"full", 8, 8, 37, "100%|" + blocks(10) + "| 8/8 [00:00<?, ?it/s]"},
      // 0.999 * 100 = 99.9 truncates to 99, while q = floor(0.999 * 10 * 9) = 89 draws nine
      // blocks and the full block of position 8.
      {"percent truncates", 999, 1000, 42, " 99%|" + blocks(10) + "| 999/1000 [00:00<?, ?it/s]"},
      // q = f * W * 9 in that order: (11/27 * 3) * 9 = 10.999999999999998 gives 10 (one block,
      // eighth 1), where 11/27 * 9 * 3 or 11/27 * 27 would round to 11.
      {"product order", 11, 27, 32, " 40%|█▏ | 11/27 [00:00<?, ?it/s]"},
      // A total of 0 is 0 %, whatever the count.
      {"total zero", 0, 0, 37, "  0%|" + spaces(10) + "| 0/0 [00:00<?, ?it/s]"},
      // Too narrow: the bar shrinks to nothing and the line overflows.
      {"narrow", 4, 8, 20, " 50%|| 4/8 [00:00<?, ?it/s]"},
      // Past the total the count form takes over.
      {"count past total", 9, 8, 37, "9it [00:00, ?it/s]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(progress_line(c.count, c.total, 0, std::nullopt, c.columns), c.expected);
  }
}

TEST(ProgressLine, RemainingAndRate) {
  struct Case {
    const char *name;
    std::uint64_t count;
    std::uint64_t total;
    std::optional<double> rate;
    std::string expected_right;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"no rate yet", 3, 10, std::nullopt, "| 3/10 [00:00<?, ?it/s]"},
      {"one step per second", 0, 3600, 1.0, "| 0/3600 [00:00<01:00:00, 1.00it/s]"},
      {"fractions dropped", 0, 10, 1.5, "| 0/10 [00:00<00:06, 1.50it/s]"},
      {"rate rounds to two places", 1, 10, 1234.5678, "| 1/10 [00:00<00:00, 1234.57it/s]"},
      // A run that ends right after its last step measures a rate of 0 at close.
      {"rate zero, nothing left", 1, 1, 0.0, "| 1/1 [00:00<00:00, 0.00it/s]"},
      {"rate zero, steps left", 1, 2, 0.0, "| 1/2 [00:00<?, 0.00it/s]"},
      {"rate not a number", 1, 2, nan, "| 1/2 [00:00<?, NaNit/s]"},
      {"rate infinite", 1, 2, inf, "| 1/2 [00:00<?, infit/s]"},
      // 2^64 - 1 s: the quotient 1e300 saturates instead of overflowing the conversion.
      {"huge remaining", 0, 1, 1e-300, "| 0/1 [00:00<5124095576030431:00:15, 0.00it/s]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = progress_line(c.count, c.total, 0, c.rate, 0);
    ASSERT_NE(line.find('|'), std::string::npos);
    EXPECT_EQ(line.substr(line.find("||") + 1), c.expected_right);
  }
}

TEST(ProgressLine, Durations) {
  struct Case {
    std::uint64_t seconds;
    const char *expected;
  };
  const Case cases[] = {
      {0, "00:00"},         {59, "00:59"},        {61, "01:01"},
      {3599, "59:59"},      {3600, "01:00:00"},   {3661, "01:01:01"},
      {86399, "23:59:59"},  {360000, "100:00:00"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(format_duration(c.seconds), c.expected);
  }
  // The elapsed field of both forms uses the same format.
  EXPECT_EQ(progress_line(5, std::nullopt, 3599, std::nullopt, 80), "5it [59:59, ?it/s]");
  EXPECT_EQ(progress_line(5, std::nullopt, 3600, std::nullopt, 80), "5it [01:00:00, ?it/s]");
}

TEST(ProgressState, RateNeedsTwoUpdatesThenSmooths) {
  ProgressState state;
  state.start_time = T0;
  state.pending = 5;
  progress_update(state, T0 + SECOND);
  EXPECT_EQ(state.count, 5U);
  EXPECT_EQ(state.pending, 0U);
  EXPECT_FALSE(state.rate.has_value()); // the first update only starts the rate's clock

  state.pending = 10;
  progress_update(state, T0 + SECOND + SECOND / 2);
  ASSERT_TRUE(state.rate.has_value());
  EXPECT_DOUBLE_EQ(*state.rate, 20.0); // 10 steps in 0.5 s
  EXPECT_EQ(state.count, 15U);

  state.pending = 10;
  progress_update(state, T0 + 2 * SECOND + SECOND / 2);
  EXPECT_DOUBLE_EQ(*state.rate, 0.3 * 10.0 + 0.7 * 20.0); // weight 0.3 on the newest interval
  EXPECT_EQ(state.count, 25U);

  // Elapsed whole seconds since the start, fractions dropped.
  EXPECT_EQ(progress_line(state, T0 + 2 * SECOND + SECOND - 1, 80), "25it [00:02, 17.00it/s]");
}

class ProgressBarTest : public ::testing::Test {
protected:
  void SetUp() override { fake_time = T0; }
  void TearDown() override { EXPECT_EQ(open_progress_bars(), 0U); }
  ProgressOutput output(int fd) const { return {fd, &fake_now}; }
};

TEST_F(ProgressBarTest, RedrawsAtMostEveryTwentyFourthOfASecond) {
  // A temporary file is no terminal: 80 columns. The first tick redraws at once (the next
  // redraw starts at the clock's epoch) and only starts the rate's clock.
  TempFd out;
  std::string expected;
  {
    ProgressBar bar(4, output(out.fd()));
    expected += frame("  0%|" + spaces(53) + "| 0/4 [00:00<?, ?it/s]");
    EXPECT_EQ(out.contents(), expected);
    EXPECT_EQ(open_progress_bars(), 1U);

    bar.tick(); // q = floor(0.25 * 53 * 9) = 119: 13 blocks, eighth 2
    expected += frame(" 25%|" + blocks(13) + "▎" + spaces(39) + "| 1/4 [00:00<?, ?it/s]");
    EXPECT_EQ(out.contents(), expected);

    fake_time = T0 + 41'666'666;
    bar.tick(); // too soon: counted, not drawn
    EXPECT_EQ(out.contents(), expected);

    fake_time = T0 + 41'666'667; // 1/24 s after the first step's redraw
    bar.tick(); // 2 steps in 41 666 667 ns: 47.9999996 steps per second
    // q = floor(0.75 * 45 * 9) = 303: 33 blocks, eighth 6
    expected += frame(" 75%|" + blocks(33) + "▊" + spaces(11) +
                      "| 3/4 [00:00<00:00, 48.00it/s]");
    EXPECT_EQ(out.contents(), expected);

    // Close applies no new step over 2.46 s: rate 0.7 * 47.9999996; the line is unpadded and
    // full width, so nothing is cleared after it.
    fake_time = T0 + 2 * SECOND + SECOND / 2;
    bar.close();
    expected += "\r 75%|" + blocks(33) + "▊" + spaces(11) + "| 3/4 [00:02<00:00, 33.60it/s]\n";
    EXPECT_EQ(out.contents(), expected);
    EXPECT_EQ(open_progress_bars(), 0U);

    bar.close(); // closing twice prints nothing more
    bar.tick();  // nor does a step after close
    EXPECT_EQ(out.contents(), expected);
  }
  EXPECT_EQ(out.contents(), expected);
}

TEST_F(ProgressBarTest, SingleStepRunEndsWithRateZero) {
  // One tick then close: the second update measures 0 steps, so the rate is 0 and the
  // remaining time of a finished run is 00:00.
  TempFd out;
  {
    ProgressBar bar(1, output(out.fd()));
    bar.tick();
    fake_time = T0 + SECOND;
  } // the destructor closes
  const std::string text = out.contents();
  const std::string last = "\r100%|" + blocks(46) + "| 1/1 [00:01<00:00, 0.00it/s]\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST_F(ProgressBarTest, CountOnlyDisplayClearsBehindItsFinalLine) {
  TempFd out;
  ProgressBar bar(std::nullopt, output(out.fd()));
  for (int i = 0; i < 726; ++i) {
    bar.tick(); // all at T0: only the first draws
  }
  fake_time = T0 + SECOND + SECOND / 3;
  bar.close();
  // 725 pending steps over 1.333 s.
  const std::string expected = frame(pad("0it [00:00, ?it/s]", 80)) +
                               frame(pad("1it [00:00, ?it/s]", 80)) +
                               "\r726it [00:01, 543.75it/s]\x1b[K\n";
  EXPECT_EQ(out.contents(), expected);
}

TEST_F(ProgressBarTest, EmptyTotalOpensAndClosesAtZeroPercent) {
  TempFd out;
  { ProgressBar bar(0, output(out.fd())); }
  const std::string line = "  0%|" + spaces(53) + "| 0/0 [00:00<?, ?it/s]";
  EXPECT_EQ(out.contents(), frame(line) + "\r" + line + "\n");
}

TEST_F(ProgressBarTest, WidthFollowsTheTerminalAtEachRedraw) {
  Pty pty(60, 24);
  ProgressBar bar(10000, output(pty.fd()));
  EXPECT_EQ(pty.take(), frame("  0%|" + spaces(29) + "| 0/10000 [00:00<?, ?it/s]"));

  pty.resize(40, 24);
  bar.tick(); // W = 40 - 5 - 26 = 9
  EXPECT_EQ(pty.take(), frame("  0%|" + spaces(9) + "| 1/10000 [00:00<?, ?it/s]"));

  // Close a second later with no new step: the rate is 0 and steps remain, so the remaining
  // time is unknown. The bar line is full width, so nothing is cleared behind it.
  fake_time = T0 + SECOND;
  bar.close();
  EXPECT_EQ(pty.take(), "\r  0%|" + spaces(6) + "| 1/10000 [00:01<?, 0.00it/s]\n");
}

TEST_F(ProgressBarTest, RedrawShowsEveryOpenDisplayInCreationOrder) {
  Pty pty(40, 3);
  const std::string first = "  0%|" + spaces(12) + "| 0/10 [00:00<?, ?it/s]"; // 40 columns
  const std::string second = pad("0it [00:00, ?it/s]", 40);

  ProgressBar a(10, output(pty.fd()));
  EXPECT_EQ(pty.take(), frame(first));
  {
    ProgressBar b(std::nullopt, output(pty.fd()));
    EXPECT_EQ(open_progress_bars(), 2U);
    // Both lines, then back up to the first.
    EXPECT_EQ(pty.take(), frame(first + second, 2));
    {
      // Three rows hold two displays; the third is hidden.
      ProgressBar c(1, output(pty.fd()));
      EXPECT_EQ(open_progress_bars(), 3U);
      EXPECT_EQ(pty.take(), std::string(HIDE) + "\r" + first + second +
                                "\x1b[J ... (more hidden) ...\r\x1b[1A" + std::string(SHOW));
      pty.resize(40, 4); // now all three fit
      c.tick();
      const std::string third_ticked = "100%|" + blocks(13) + "| 1/1 [00:00<?, ?it/s]";
      EXPECT_EQ(pty.take(), frame(first + second + third_ticked, 3));
      fake_time = T0 + SECOND;
    }
    EXPECT_EQ(pty.take(), "\r100%|" + blocks(6) + "| 1/1 [00:01<00:00, 0.00it/s]\n");
    b.tick(); // the closed display is no longer drawn
    EXPECT_EQ(pty.take(), frame("  0%|" + spaces(12) + "| 0/10 [00:01<?, ?it/s]" +
                                    pad("1it [00:01, ?it/s]", 40),
                                2));
  }
  EXPECT_EQ(open_progress_bars(), 1U);
}

TEST_F(ProgressBarTest, WriteFailureIsReportedAndTheRunGoesOn) {
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  const std::string message = std::string(std::strerror(ENOSPC)) + "\n";
  {
    StderrCapture err;
    {
      ProgressBar bar(3, output(full)); // the first draw fails
      bar.tick();                       // fails again, so the next step retries at once
      fake_time = T0 + 1;
      bar.tick();
      EXPECT_EQ(open_progress_bars(), 1U);
    } // the close fails too
    EXPECT_EQ(err.text(), repeat(message, 4));
  }
  ::close(full);
}

} // namespace
} // namespace vexa
