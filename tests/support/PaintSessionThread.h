// The test host's paint session on a thread of the test: the session lasts
// until Finish ends its input, and the lines the host prints are kept for
// the test to wait for. Neither end is a file descriptor, so a program the
// test starts meanwhile inherits nothing of the host.
#pragma once

#include <chrono>
#include <condition_variable>
#include <istream>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>

#include "testhost/DisplayPainter.h"
#include "testhost/Framing.h"

namespace testsupport {

// An input that ends once it is opened; until then a read waits.
class SessionGate : public std::streambuf {
 public:
  void Open() {
    std::lock_guard<std::mutex> hold(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 protected:
  int_type underflow() override {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return open_; });
    return traits_type::eof();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// An output whose lines another thread waits for, in order.
class PrintedLines : public std::streambuf {
 public:
  // Until a whole line not yet taken starts with `prefix` (that line in
  // *line); the lines before it are passed over. False after timeoutMs.
  bool WaitForLine(const std::string& prefix, std::string* line, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      for (size_t nl; (nl = text_.find('\n', next_)) != std::string::npos;) {
        const std::string current = text_.substr(next_, nl - next_);
        next_ = nl + 1;
        if (current.compare(0, prefix.size(), prefix) == 0) {
          *line = current;
          return true;
        }
      }
      if (changed_.wait_until(hold, end) == std::cv_status::timeout && text_.find('\n', next_) == std::string::npos)
        return false;
    }
  }
  std::string Text() {
    std::lock_guard<std::mutex> hold(mutex_);
    return text_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    std::lock_guard<std::mutex> hold(mutex_);
    text_.push_back(traits_type::to_char_type(c));
    changed_.notify_all();
    return c;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  size_t next_ = 0;  // where the first line not yet taken starts
};

class PaintSessionThread {
 public:
  PaintSessionThread(testhost::Listener& listener, const testhost::PaintRequest& request)
      : thread_([this, &listener, request] { result_ = testhost::RunPaintSession(listener, request, until_, out_); }) {}
  ~PaintSessionThread() { Finish(); }
  PaintSessionThread(const PaintSessionThread&) = delete;
  PaintSessionThread& operator=(const PaintSessionThread&) = delete;

  bool WaitForLine(const std::string& prefix, std::string* line, int timeoutMs) {
    return printed_.WaitForLine(prefix, line, timeoutMs);
  }
  // Everything the host has printed.
  std::string Printed() { return printed_.Text(); }
  // Ends the session's input and waits for the host: its result.
  int Finish() {
    gate_.Open();
    if (thread_.joinable()) thread_.join();
    return result_;
  }

 private:
  SessionGate gate_;
  PrintedLines printed_;
  std::istream until_{&gate_};
  std::ostream out_{&printed_};
  int result_ = -1;
  std::thread thread_;
};

}  // namespace testsupport
