#include "kestrel/platform/input_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrel::platform {

namespace {

std::string Named(const std::string& path, const InputFileRules& rules) {
  if (rules.dash_is_stdin && path == "-") return std::string(rules.what) + " (standard input)";
  return std::string(rules.what) + " '" + path + "'";
}

[[noreturn]] void Fail(std::string text) {
  throw InputFileError(std::move(text));
}

// The kind of a file that is neither regular nor a pipe, for the text that refuses it.
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

[[noreturn]] void TooLarge(const std::string& named, const InputFileRules& rules) {
  Fail(named + " is larger than " + SizeText(rules.max_bytes) +
       ", the most that is read; give a smaller file");
}

class Fd {
 public:
  explicit Fd(int fd, bool own) : fd_(fd), own_(own) {}
  ~Fd() {
    if (own_ && fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_), own_(other.own_) { other.own_ = false; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
  bool own_;
};

// Opens without blocking (a FIFO with no writer yet would block the open) and looks at it.
Fd Open(const std::string& path, const InputFileRules& rules, struct stat& st) {
  const std::string named = Named(path, rules);
  if (path.empty()) Fail(std::string(rules.what) + " has no name; give a path");
  if (path == "-" && !rules.dash_is_stdin) {
    Fail(std::string(rules.what) + " cannot be standard input ('-'); give a path");
  }
  Fd fd = path == "-"
              ? Fd(STDIN_FILENO, false)
              : Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK), true);
  if (fd.get() < 0) {
    Fail("cannot read " + named + ": " + std::strerror(errno) +
         "; check the path and its permissions");
  }
  if (::fstat(fd.get(), &st) != 0) {
    Fail("cannot read " + named + ": " + std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) Fail(named + " is a directory; give a file");
  return fd;
}

}  // namespace

std::string SizeText(std::size_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

InputFile ReadInputFile(const std::string& path, const InputFileRules& rules) {
  struct stat st {};
  const Fd fd = Open(path, rules, st);
  const std::string named = Named(path, rules);
  const bool stream = path == "-" || S_ISFIFO(st.st_mode);
  if (!stream && !S_ISREG(st.st_mode)) {
    Fail(named + " is " + KindOf(st.st_mode) + ", not a file or a pipe; give a file");
  }
  if (!stream && static_cast<std::size_t>(st.st_size) > rules.max_bytes) TooLarge(named, rules);

  InputFile out;
  if (!stream) out.mode = static_cast<unsigned>(st.st_mode & 07777);
  char buffer[16384];
  for (;;) {
    if (stream) {
      // Wait for bytes, or the end, within the deadline. A pipe whose writer has not come yet
      // shows neither: it is waited for, never taken as empty.
      int wait_ms = -1;
      if (rules.deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *rules.deadline - std::chrono::steady_clock::now());
        wait_ms =
            static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 1 << 30)));
      }
      pollfd p{fd.get(), POLLIN, 0};
      const int ready = ::poll(&p, 1, wait_ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) Fail("cannot read " + named + ": " + std::strerror(errno));
      if (ready == 0) {
        Fail("reading " + named + " did not end before the deadline (" +
             SizeText(out.bytes.size()) + " read); check what writes to it");
      }
    }
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) Fail("cannot read " + named + ": " + std::strerror(errno));
    if (n == 0) break;
    if (out.bytes.size() + static_cast<std::size_t>(n) > rules.max_bytes) TooLarge(named, rules);
    out.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

unsigned CheckInputFile(const std::string& path, const InputFileRules& rules) {
  struct stat st {};
  const Fd fd = Open(path, rules, st);
  const std::string named = Named(path, rules);
  if (!S_ISREG(st.st_mode)) Fail(named + " is " + KindOf(st.st_mode) + "; give a file");
  if (static_cast<std::size_t>(st.st_size) > rules.max_bytes) TooLarge(named, rules);
  return static_cast<unsigned>(st.st_mode & 07777);
}

void CheckInputDirectory(const std::string& path, std::string_view what) {
  const std::string named = std::string(what) + " '" + path + "'";
  struct stat st {};
  if (path.empty()) Fail(std::string(what) + " has no name; give a path");
  if (::stat(path.c_str(), &st) != 0) {
    Fail("cannot use " + named + ": " + std::strerror(errno) + "; check the path");
  }
  if (!S_ISDIR(st.st_mode)) Fail(named + " is not a directory; give a directory");
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    Fail("cannot list " + named + ": " + std::strerror(errno) + "; check its permissions");
  }
  ::closedir(dir);
}

}  // namespace kestrel::platform
