// Progress display on standard error: the layout of one line, the clock-driven state of one
// display, and ProgressBar, which joins a process-wide registry and redraws every open display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexa {

// Nanoseconds on a monotonic clock; 0 is the clock's epoch.
using ProgressTime = std::int64_t;

inline constexpr ProgressTime REDRAW_INTERVAL_NS = 41'666'667; // 1/24 s
inline constexpr double RATE_SMOOTHING = 0.3;                  // weight of the newest interval
inline constexpr std::size_t DEFAULT_COLUMNS = 80;
inline constexpr std::size_t DEFAULT_ROWS = 24;

// Length of a UTF-8 text in characters (code points), the unit of terminal columns here.
std::size_t char_count(std::string_view text);

// "MM:SS" below an hour, "HH:MM:SS" from an hour on.
std::string format_duration(std::uint64_t seconds);

// The line of a display, unpadded: "{:>3}%|bar| n/N [elapsed<remaining, rate it/s]" when the
// total is known and not exceeded, else "{n}it [elapsed, rate it/s]". rate is steps per second,
// none until two updates; columns is the terminal width the bar is fitted into.
std::string progress_line(std::uint64_t count, std::optional<std::uint64_t> total,
                          std::uint64_t elapsed_seconds, std::optional<double> rate,
                          std::size_t columns);

struct ProgressState {
  std::optional<std::uint64_t> total;
  std::uint64_t count = 0;   // steps shown
  std::uint64_t pending = 0; // steps counted since the last update
  ProgressTime start_time = 0;
  std::optional<ProgressTime> last_update_time;
  std::optional<double> rate;   // smoothed steps per second
  ProgressTime next_redraw = 0; // the epoch, so the first step redraws at once
};

// Folds the pending steps into count; the first update only starts the rate's clock.
void progress_update(ProgressState &state, ProgressTime now);

// The state's line at time now (elapsed whole seconds since start_time).
std::string progress_line(const ProgressState &state, ProgressTime now, std::size_t columns);

ProgressTime monotonic_now();

// Where a display writes and which clock it reads; tests substitute both.
struct ProgressOutput {
  int fd = 2;
  ProgressTime (*now)() = &monotonic_now;
};

// One display. Creation registers it and draws it with count 0; close (or the destructor, so
// a failure that unwinds the run still closes it) prints its final line and a newline.
class ProgressBar {
public:
  explicit ProgressBar(std::optional<std::uint64_t> total, ProgressOutput output = {});
  ~ProgressBar();
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

  // One step: an increment and one clock read unless a redraw is due.
  void tick() {
    ++state_.pending;
    const ProgressTime now = output_.now();
    if (now >= state_.next_redraw) {
      redraw_at(now);
    }
  }

  // Idempotent; after it the display is no longer drawn.
  void close();

private:
  void redraw_at(ProgressTime now);

  ProgressState state_;
  ProgressOutput output_;
  bool open_ = true;
};

// Displays currently registered in this process.
std::size_t open_progress_bars();

} // namespace vexa
