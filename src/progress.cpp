#include "progress.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

namespace vexa {
namespace {

// " ▏▎▍▌▋▊▉█": space, then one to eight eighths of a block.
constexpr std::string_view BAR_CHARS[9] = {" ", "▏", "▎", "▍", "▌", "▋", "▊", "▉", "█"};

constexpr std::string_view HIDE_CURSOR = "\x1b[?25l";
constexpr std::string_view SHOW_CURSOR = "\x1b[?25h";
constexpr std::string_view CLEAR_DOWN = "\x1b[J";
constexpr std::string_view CLEAR_LINE_END = "\x1b[K";

struct Registry {
  std::mutex mutex;
  std::vector<const ProgressState *> states; // open displays in creation order
};

Registry &registry() {
  static Registry instance;
  return instance;
}

void append_uint(std::string &out, std::uint64_t value) {
  char buffer[24];
  const int length = std::snprintf(buffer, sizeof buffer, "%llu",
                                   static_cast<unsigned long long>(value));
  out.append(buffer, static_cast<std::size_t>(length));
}

// "{:.2}" of a double, spelling the non-finite values as NaN and inf.
void append_rate(std::string &out, double rate) {
  if (std::isnan(rate)) {
    out += "NaN";
    return;
  }
  if (std::isinf(rate)) {
    out += rate > 0 ? "inf" : "-inf";
    return;
  }
  char buffer[400]; // DBL_MAX in fixed notation needs 309 digits
  const int length = std::snprintf(buffer, sizeof buffer, "%.2f", rate);
  out.append(buffer, static_cast<std::size_t>(length));
}

// Truncation toward zero, saturating at the ends of the unsigned range.
std::uint64_t to_seconds(double seconds) {
  if (!(seconds > 0.0)) {
    return 0;
  }
  if (seconds >= 18446744073709551616.0) {
    return UINT64_MAX;
  }
  return static_cast<std::uint64_t>(seconds);
}

// Time left at the current rate. Nothing left is 00:00 whatever the rate, even 0; otherwise a
// zero or non-finite rate, or a quotient past any finite time, leaves it unknown.
std::string remaining_text(std::uint64_t count, std::uint64_t total, std::optional<double> rate) {
  if (!rate) {
    return "?";
  }
  if (count >= total) {
    return format_duration(0);
  }
  if (!(*rate > 0.0) || !std::isfinite(*rate)) {
    return "?";
  }
  const double seconds = static_cast<double>(total - count) / *rate;
  if (!std::isfinite(seconds)) {
    return "?";
  }
  return format_duration(to_seconds(seconds));
}

struct TerminalSize {
  std::size_t columns = DEFAULT_COLUMNS;
  std::size_t rows = DEFAULT_ROWS;
};

// Read at every redraw so a resized terminal is followed; a zero size counts as unknown.
TerminalSize terminal_size(int fd) {
  TerminalSize size;
  winsize ws{};
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0) {
    if (ws.ws_col > 0) {
      size.columns = ws.ws_col;
    }
    if (ws.ws_row > 0) {
      size.rows = ws.ws_row;
    }
  }
  return size;
}

// 0 on success, else the errno of the failed write.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// A display that cannot write says why on standard error and lets the run go on.
void report_write_error(int error) {
  std::string message = std::strerror(error);
  message += '\n';
  if (write_all(STDERR_FILENO, message) != 0) {
    // Nowhere left to report to.
  }
}

std::uint64_t elapsed_seconds(const ProgressState &state, ProgressTime now) {
  const ProgressTime elapsed = now - state.start_time;
  return elapsed > 0 ? static_cast<std::uint64_t>(elapsed / 1'000'000'000) : 0;
}

// The bytes that draw every open display from column 0, one per terminal line, and return the
// cursor to the first of them so the next redraw overwrites the same lines.
std::string redraw_text(const std::vector<const ProgressState *> &states, ProgressTime now,
                        int fd) {
  const TerminalSize size = terminal_size(fd);
  std::string out(HIDE_CURSOR);
  out += '\r';
  std::size_t drawn = 0;
  for (const ProgressState *state : states) {
    if (drawn + 1 >= size.rows) {
      break;
    }
    const std::string line = progress_line(*state, now, size.columns);
    out += line;
    // A full-width line leaves the cursor at the end of its terminal line, so the next display
    // continues on the line below.
    out.append(size.columns - std::min(size.columns, char_count(line)), ' ');
    ++drawn;
  }
  if (states.size() >= size.rows) {
    out += CLEAR_DOWN;
    out += " ... (more hidden) ...";
    out += '\r';
  }
  if (drawn > 1) {
    out += "\x1b[";
    append_uint(out, drawn - 1);
    out += 'A';
  }
  out += SHOW_CURSOR;
  return out;
}

} // namespace

std::size_t char_count(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string format_duration(std::uint64_t seconds) {
  char buffer[48];
  int length = 0;
  if (seconds < 3600) {
    length = std::snprintf(buffer, sizeof buffer, "%02llu:%02llu",
                           static_cast<unsigned long long>(seconds / 60),
                           static_cast<unsigned long long>(seconds % 60));
  } else {
    length = std::snprintf(buffer, sizeof buffer, "%02llu:%02llu:%02llu",
                           static_cast<unsigned long long>(seconds / 3600),
                           static_cast<unsigned long long>(seconds / 60 % 60),
                           static_cast<unsigned long long>(seconds % 60));
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string progress_line(std::uint64_t count, std::optional<std::uint64_t> total,
                          std::uint64_t elapsed_seconds, std::optional<double> rate,
                          std::size_t columns) {
  std::string rate_text;
  if (rate) {
    append_rate(rate_text, *rate);
  } else {
    rate_text = "?";
  }

  if (!total || count > *total) {
    std::string line;
    append_uint(line, count);
    line += "it [";
    line += format_duration(elapsed_seconds);
    line += ", ";
    line += rate_text;
    line += "it/s]";
    return line;
  }

  const std::uint64_t n = *total;
  const double fraction =
      n == 0 ? 0.0 : std::min(1.0, static_cast<double>(count) / static_cast<double>(n));

  char percent[8];
  std::snprintf(percent, sizeof percent, "%3u", static_cast<unsigned>(fraction * 100.0));
  std::string left = percent;
  left += "%|";

  std::string right = "| ";
  append_uint(right, count);
  right += '/';
  append_uint(right, n);
  right += " [";
  right += format_duration(elapsed_seconds);
  right += '<';
  right += remaining_text(count, n, rate);
  right += ", ";
  right += rate_text;
  right += "it/s]";

  const std::size_t taken = char_count(left) + char_count(right);
  const std::size_t width = columns > taken ? columns - taken : 0;
  // Eighths of a block: q / 9 full blocks, then the partial character q mod 9.
  const auto q = static_cast<std::uint64_t>(fraction * static_cast<double>(width) * 9.0);
  const std::uint64_t full = q / 9;

  std::string line = std::move(left);
  for (std::uint64_t i = 0; i < full; ++i) {
    line += BAR_CHARS[8];
  }
  if (full < width) {
    line += BAR_CHARS[q % 9];
    line.append(width - full - 1, ' ');
  }
  line += right;
  return line;
}

void progress_update(ProgressState &state, ProgressTime now) {
  if (state.last_update_time) {
    const double seconds = static_cast<double>(now - *state.last_update_time) / 1e9;
    const double latest = static_cast<double>(state.pending) / seconds;
    state.rate = state.rate ? RATE_SMOOTHING * latest + (1.0 - RATE_SMOOTHING) * *state.rate
                            : latest;
  }
  state.last_update_time = now;
  state.count += state.pending;
  state.pending = 0;
}

std::string progress_line(const ProgressState &state, ProgressTime now, std::size_t columns) {
  return progress_line(state.count, state.total, elapsed_seconds(state, now), state.rate,
                       columns);
}

ProgressTime monotonic_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ProgressBar::ProgressBar(std::optional<std::uint64_t> total, ProgressOutput output)
    : output_(output) {
  state_.total = total;
  state_.start_time = output_.now();
  Registry &reg = registry();
  const std::lock_guard lock(reg.mutex);
  // Everything that can throw happens before the registry holds this display, so a failed
  // construction leaves no dangling entry.
  std::vector<const ProgressState *> states = reg.states;
  states.push_back(&state_);
  const std::string text = redraw_text(states, state_.start_time, output_.fd);
  reg.states.swap(states);
  if (const int error = write_all(output_.fd, text)) {
    report_write_error(error);
  }
}

ProgressBar::~ProgressBar() { close(); }

void ProgressBar::redraw_at(ProgressTime now) {
  Registry &reg = registry();
  const std::lock_guard lock(reg.mutex);
  progress_update(state_, now);
  if (const int error = write_all(output_.fd, redraw_text(reg.states, now, output_.fd))) {
    report_write_error(error); // next_redraw stays, so the next step tries again
    return;
  }
  state_.next_redraw = now + REDRAW_INTERVAL_NS;
}

void ProgressBar::close() {
  if (!open_) {
    return;
  }
  open_ = false;
  // A step after close is counted but never drawn.
  state_.next_redraw = std::numeric_limits<ProgressTime>::max();
  const ProgressTime now = output_.now();
  Registry &reg = registry();
  const std::lock_guard lock(reg.mutex);
  std::erase(reg.states, &state_);
  progress_update(state_, now);
  const std::size_t columns = terminal_size(output_.fd).columns;
  const std::string line = progress_line(state_, now, columns);
  std::string out = "\r";
  out += line;
  // Unpadded: clear what a longer earlier line left behind. Not after a full-width line, where
  // the cursor already sits on the last column and the clear would take that character.
  if (char_count(line) < columns) {
    out += CLEAR_LINE_END;
  }
  out += '\n';
  if (const int error = write_all(output_.fd, out)) {
    report_write_error(error);
  }
}

std::size_t open_progress_bars() {
  Registry &reg = registry();
  const std::lock_guard lock(reg.mutex);
  return reg.states.size();
}

} // namespace vexa
