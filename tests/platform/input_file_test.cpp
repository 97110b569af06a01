// Reading the files a user gives, against real files, a directory, /dev/zero and FIFOs with and
// without a writer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "kestrel/platform/input_file.hpp"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// What reading `path` gives: "read: <bytes>", or the text it is refused with.
std::string Read(const std::string& path, InputFileRules rules) {
  try {
    return "read: " + ReadInputFile(path, rules).bytes;
  } catch (const InputFileError& e) {
    return e.what();
  }
}

TEST(InputFile, ReadsFilesAndPipesWithinTheirBoundsAndRefusesTheRest) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("input_file_test." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = [&](const char* name, const std::string& bytes) {
    std::ofstream((dir / name).string(), std::ios::binary) << bytes;
    return (dir / name).string();
  };
  const InputFileRules rules{.what = "the data file", .max_bytes = 16};
  const auto small = file("small", "db1 disk full\n");
  ::chmod(small.c_str(), 0640);
  EXPECT_EQ(ReadInputFile(small, rules).mode, 0640u);
  struct Case {
    std::string path;
    const char* gives;
  } cases[] = {
      {small, "read: db1 disk full\n"},
      {file("big", std::string(17, 'x')), "is larger than 16 bytes, the most that is read"},
      {dir.string(), "is a directory; give a file"},
      {"/dev/zero", "is a character device, not a file or a pipe"},
      {(dir / "missing").string(), "No such file or directory; check the path"},
      {"-", "cannot be standard input"},
  };
  for (const auto& c : cases) EXPECT_THAT(Read(c.path, rules), HasSubstr(c.gives)) << c.path;
  EXPECT_EQ(CheckInputFile(small, rules), 0640u);
  EXPECT_THROW(CheckInputFile("/dev/zero", rules), InputFileError);
  EXPECT_THROW(CheckInputDirectory(small, "the CA directory"), InputFileError);
  EXPECT_NO_THROW(CheckInputDirectory(dir.string(), "the CA directory"));

  // A FIFO is read as its writer writes; a reader that opens first waits for the writer rather
  // than taking the FIFO for empty. Too much is refused; a writer that never ends, or never
  // comes, is given up at the deadline.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto through_fifo = [&](const std::string& sent, bool hold_open) {
    std::promise<void> reader_done;
    std::thread writer([&, done = reader_done.get_future()] {
      const int fd = ::open(fifo.c_str(), O_WRONLY);  // waits until the reader has opened
      for (std::size_t at = 0; at < sent.size(); at += 5) {
        if (::write(fd, sent.data() + at, std::min<std::size_t>(5, sent.size() - at)) < 0) break;
      }
      if (hold_open) done.wait();
      ::close(fd);
    });
    const auto limit = std::chrono::steady_clock::now() + (hold_open ? 200ms : 10s);
    const std::string got =
        Read(fifo, {.what = "the data file", .max_bytes = 16, .deadline = limit});
    reader_done.set_value();
    writer.join();
    return got;
  };
  EXPECT_EQ(through_fifo("line one\nline 2", false), "read: line one\nline 2");
  EXPECT_THAT(through_fifo(std::string(100, 'y'), false), HasSubstr("is larger than 16 bytes"));
  EXPECT_THAT(through_fifo("abc", true), HasSubstr("did not end before the deadline (3 bytes"));
  EXPECT_THAT(Read(fifo, {.deadline = std::chrono::steady_clock::now() + 100ms}),
              HasSubstr("did not end before the deadline (0 bytes read)"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrel::platform
