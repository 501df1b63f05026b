// Stop: the one failure type raised after argument conversion. It carries the exact message
// the caller sees; the module's entry turns it into PanicException at one boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace vexa {

struct Stop : std::runtime_error {
  explicit Stop(const std::string &message) : std::runtime_error(message) {}
};

} // namespace vexa
