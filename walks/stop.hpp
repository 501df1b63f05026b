// Stop: the one failure type raised after argument conversion. It carries the exact message
// the caller sees; the module's entry turns it into PanicException at one boundary.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vexa {

struct Stop : std::runtime_error {
  explicit Stop(const std::string &message)
      : std::runtime_error(message), length(message.size()) {}
  // The whole message: it may hold NUL characters taken from the caller's text, which what()
  // would cut short.
  std::string_view message() const noexcept { return {what(), length}; }
  std::size_t length;
};

} // namespace vexa
