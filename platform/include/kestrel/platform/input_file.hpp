#pragma once
// Reading a file a user gives, within bounds: a regular file, a pipe (FIFO), or standard input.
//
// Every file a program takes from its user (a message body, a list of pagers, a password, a
// settings file, a TLS certificate or key) goes through here, so that none can hang the program
// or fill its memory:
//
//   what the path is                     ReadInputFile
//   a regular file of at most max_bytes  its bytes
//   a larger regular file                refused before a byte is read
//   a pipe, or "-" (standard input)      read as it comes, refused once past max_bytes, given
//                                        up at the deadline; a pipe with no writer yet waits
//                                        for one (bounded by the deadline), never reads as empty
//   a directory, a device (/dev/zero),   refused before a byte is read
//   a socket; "-" when not allowed
//   missing, unreadable                  refused with the system's reason
//
// The texts name the file as the caller calls it ("the data file 'body.txt'") and say what to
// do; they name no program's options.
//
// Any thread; no state.

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrel::platform {

class InputFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct InputFileRules {
  std::string_view what = "the file";  // how the texts name it: "the data file"
  std::size_t max_bytes = 1 << 20;     // more is refused
  bool dash_is_stdin = false;          // "-" is standard input
  // A pipe that has not ended by then is given up; none: no limit.
  std::optional<std::chrono::steady_clock::time_point> deadline{};
};

struct InputFile {
  std::string bytes;
  unsigned mode = 0;  // the permission bits of a regular file (0 for a pipe or standard input)
};

// The whole content. Throws InputFileError.
InputFile ReadInputFile(const std::string& path, const InputFileRules& rules);

// For a file another library will open by name (a TLS key): it exists, can be opened for
// reading, is a regular file of at most max_bytes. Returns its permission bits. Throws
// InputFileError.
unsigned CheckInputFile(const std::string& path, const InputFileRules& rules);

// For a directory another library will read (a CA directory): it exists and is a directory
// that can be listed. Throws InputFileError.
void CheckInputDirectory(const std::string& path, std::string_view what);

// "64 KiB", "1 MiB", "300 bytes".
std::string SizeText(std::size_t bytes);

}  // namespace kestrel::platform
