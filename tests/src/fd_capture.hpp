// Test helpers for output written straight to file descriptors: a temporary file to hand out
// as a descriptor, and a capture of standard error (fd 2) for the lifetime of a scope.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace vexa::testing {

// A temporary file (not a terminal) whose descriptor a display can write to.
class TempFd {
public:
  TempFd() : file_(std::tmpfile()) {
    if (file_ == nullptr) {
      throw std::runtime_error("tmpfile failed");
    }
  }
  ~TempFd() { std::fclose(file_); }
  TempFd(const TempFd &) = delete;
  TempFd &operator=(const TempFd &) = delete;

  int fd() const { return fileno(file_); }

  // Everything written so far.
  std::string contents() const {
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
      const ssize_t got = ::pread(fd(), buffer, sizeof buffer, offset);
      if (got <= 0) {
        return text;
      }
      text.append(buffer, static_cast<std::size_t>(got));
      offset += got;
    }
  }

private:
  std::FILE *file_;
};

// Sends fd 2 to a temporary file until destroyed; text() reads what arrived.
class StderrCapture {
public:
  StderrCapture() : saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    ::dup2(file_.fd(), STDERR_FILENO);
  }
  ~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  std::string text() const {
    std::fflush(stderr);
    return file_.contents();
  }

private:
  TempFd file_;
  int saved_;
};

} // namespace vexa::testing
