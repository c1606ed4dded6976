// Helpers shared by the test suites: scratch directories, byte builders,
// result unwrapping, tree dumps and the crash harness.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/kv.h"

namespace ruvo::test {

// A fresh directory under the test temp dir, removed on destruction.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> n{0};
    path_ = ::testing::TempDir() + "ruvo_" + std::to_string(::getpid()) + "_" + std::to_string(n++);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string bytes(std::initializer_list<int> v) { return std::string(v.begin(), v.end()); }
inline std::string le64(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }
inline std::string le32(uint32_t v) { return le64(v).substr(0, 4); }
// A length-prefixed string record.
inline std::string str_rec(std::string_view s) { return le64(s.size()) + std::string(s); }
// Big-endian words, as in keys.
inline std::string be(std::initializer_list<uint64_t> values) {
  std::string out;
  for (uint64_t v : values) bincode::put_u64_be(out, v);
  return out;
}

// The value of a result that must have succeeded; a failure throws.
template <class T, class E>
T ok(std::expected<T, E> r) {
  if (!r) throw std::runtime_error(r.error().debug());
  if constexpr (!std::is_void_v<T>) return std::move(*r);
}
// "ok", or the error's debug text.
template <class T, class E>
std::string err(const std::expected<T, E>& r) {
  return r ? std::string("ok") : r.error().debug();
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// Every entry of a tree whose key starts with `prefix`, in key order.
inline Entries dump(const kv::Tree& tree, std::string_view prefix = "") {
  Entries out;
  ok(tree.scan_prefix(prefix, [&](std::string_view k, std::string_view v) {
    out.emplace_back(std::string(k), std::string(v));
    return true;
  }));
  return out;
}

// Crash harness. send_ack writes one acknowledgement of raw 8-byte words;
// ack_word reads word i of one.
inline void send_ack(int fd, std::initializer_list<uint64_t> w) {
  const auto n = static_cast<ssize_t>(w.size() * 8);
  if (::write(fd, std::data(w), static_cast<size_t>(n)) != n) ::_exit(5);
}
inline uint64_t ack_word(const std::string& ack, size_t i) {
  uint64_t v;
  std::memcpy(&v, ack.data() + 8 * i, 8);
  return v;
}

// Starts this test binary again as a child that runs only the current
// test, with `env` ("NAME=value") added to its environment. Before the exec
// the child closes `close_fd` and sends its standard output to `stdout_fd`
// (each when not -1). Returns the child's pid, or -1 when fork failed.
inline pid_t respawn_current_test(const std::string& env, int close_fd = -1,
                                  int stdout_fd = -1) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter =
      std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  // Everything the child needs is built before the fork: between fork and
  // exec only async-signal-safe calls are allowed.
  std::vector<std::string> vars{env};
  for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : vars) envp.push_back(e.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, filter.data(), nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (close_fd >= 0) ::close(close_fd);
    if (stdout_fd >= 0) ::dup2(stdout_fd, 1);
    ::execve(self, argv, envp.data());
    ::_exit(127);
  }
  return pid;
}

// Runs `writer` in a child process (a fresh image of this test binary, so
// this must be the first thing the test does) that writes forever into a
// fresh directory and acknowledges each write with `words` 8-byte words.
// The parent SIGKILLs it after `min_acks` acknowledgements and keeps every
// acknowledgement that reached the pipe.
class KilledWriter {
 public:
  using Writer = std::function<void(const std::string& dir, int fd)>;

  KilledWriter(size_t words, size_t min_acks, const Writer& writer) {
    if (const char* child = std::getenv(kChildEnv)) {
      const std::string spec(child);
      const size_t colon = spec.rfind(':');
      try {
        writer(spec.substr(0, colon), std::atoi(spec.c_str() + colon + 1));
      } catch (...) { ::_exit(6); }
      ::_exit(7);  // a writer never stops by itself
    }
    dir_.emplace();
    run_parent(words * 8, min_acks);
  }

  const std::string& dir() const { return dir_->path(); }
  const std::vector<std::string>& acks() const { return acks_; }

 private:
  static constexpr const char* kChildEnv = "RUVO_TEST_CRASH_CHILD";

  void run_parent(size_t size, size_t min_acks) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = respawn_current_test(
        std::string(kChildEnv) + "=" + dir_->path() + ":" + std::to_string(fds[1]), fds[0]);
    ASSERT_GE(pid, 0);
    ::close(fds[1]);
    std::string rec(size, '\0');
    while (acks_.size() < min_acks && read_full(fds[0], rec.data(), size)) acks_.push_back(rec);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    // Records that reached the pipe before the kill were acknowledged too.
    while (read_full(fds[0], rec.data(), size)) acks_.push_back(rec);
    ::close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "writer ended: " << status;
    EXPECT_GE(acks_.size(), min_acks) << "the writer stopped early";
  }

  static bool read_full(int fd, char* p, size_t n) {
    while (n > 0) {
      const ssize_t got = ::read(fd, p, n);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }

  std::optional<ScratchDir> dir_;
  std::vector<std::string> acks_;
};

}  // namespace ruvo::test
