// Reading the files a user gives, against real files, a directory, /dev/zero, FIFOs with and
// without a writer, and a socket.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
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

class InputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("input_file_test." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::string Write(const char* name, const std::string& bytes, unsigned mode = 0600) const {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    ::chmod(path.c_str(), mode);
    return path;
  }
  // The text ReadInputFile refuses `path` with; empty when it reads it.
  static std::string Refusal(const std::string& path, InputFileRules rules) {
    try {
      ReadInputFile(path, rules);
      return "";
    } catch (const InputFileError& e) {
      return e.what();
    }
  }

  std::filesystem::path dir_;
};

TEST_F(InputFileTest, ReadsFilesAndPipesWithinTheirBoundsAndRefusesTheRest) {
  const InputFileRules rules{.what = "the data file", .max_bytes = 16};
  const auto small = Write("small.txt", "db1 disk full\n", 0644);
  const auto file = ReadInputFile(small, rules);
  EXPECT_EQ(file.bytes, "db1 disk full\n");
  EXPECT_EQ(file.mode, 0644u);
  EXPECT_EQ(ReadInputFile(Write("empty", ""), rules).bytes, "");

  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = Path("sock");
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  struct Case {
    std::string path;
    const char* says;
  } cases[] = {
      {Write("big.txt", std::string(17, 'x')), "is larger than 16 bytes, the most that is read"},
      {dir_.string(), "is a directory; give a file"},
      {"/dev/zero", "is a character device, not a file or a pipe"},
      {socket_path, "cannot read the data file"},  // a socket cannot be opened as a file
      {Path("missing"), "No such file or directory; check the path and its permissions"},
      {"-", "cannot be standard input"},
      {"", "has no name"},
  };
  for (const auto& c : cases) EXPECT_THAT(Refusal(c.path, rules), HasSubstr(c.says)) << c.path;
  ::close(sock);

  // A FIFO: read as its writer writes, and waited for while no writer has come (a reader that
  // opens first must not take it for empty); too much is refused once past the bound; a writer
  // that never ends, or never comes, is given up at the deadline.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string fifo = Path("fifo");
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
    std::string result;
    try {
      result =
          "read: " +
          ReadInputFile(fifo, {.what = "the data file", .max_bytes = 16, .deadline = limit}).bytes;
    } catch (const InputFileError& e) {
      result = e.what();
    }
    reader_done.set_value();
    writer.join();
    return result;
  };
  EXPECT_EQ(through_fifo("line one\nline 2", false), "read: line one\nline 2");
  EXPECT_THAT(through_fifo(std::string(100, 'y'), false), HasSubstr("is larger than 16 bytes"));
  EXPECT_THAT(through_fifo("abc", true),
              HasSubstr("reading the data file '" + fifo +
                        "' did not end before the deadline (3 bytes read)"));
  EXPECT_THAT(Refusal(fifo, {.what = "the data file",
                             .deadline = std::chrono::steady_clock::now() + 100ms}),
              HasSubstr("did not end before the deadline (0 bytes read)"))
      << "no writer at all";
}

TEST_F(InputFileTest, FilesAndDirectoriesAnotherLibraryOpens) {
  const InputFileRules key{.what = "the client key", .max_bytes = 64};
  EXPECT_EQ(CheckInputFile(Write("key.pem", "k", 0640), key), 0640u);
  EXPECT_THROW(CheckInputFile(Write("huge.pem", std::string(65, 'k')), key), InputFileError);
  EXPECT_THROW(CheckInputFile(dir_.string(), key), InputFileError);
  EXPECT_THROW(CheckInputFile("/dev/zero", key), InputFileError);
  EXPECT_NO_THROW(CheckInputDirectory(dir_.string(), "the CA directory"));
  for (const auto& bad : {Path("missing"), Write("a-file", "x")}) {
    try {
      CheckInputDirectory(bad, "the CA directory");
      ADD_FAILURE() << bad;
    } catch (const InputFileError& e) {
      EXPECT_THAT(e.what(), HasSubstr("the CA directory '" + bad + "'"));
    }
  }
  EXPECT_EQ(SizeText(1 << 20), "1 MiB");
  EXPECT_EQ(SizeText(4096), "4 KiB");
  EXPECT_EQ(SizeText(1), "1 byte");
}

}  // namespace
}  // namespace kestrel::platform
