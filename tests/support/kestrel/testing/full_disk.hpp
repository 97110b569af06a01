#pragma once
// A full disk without a small file system or root: a file-size limit (RLIMIT_FSIZE) on this
// process at the current size of one file (an outbox's WAL), so that no write reaches past it;
// the kernel applies the limit to every regular file the process writes. SIGXFSZ is ignored
// meanwhile, so such a write fails (EFBIG) as it would on a full disk. The limit goes when the
// object does.

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

namespace kestrel::testing {

class FullDisk {
 public:
  explicit FullDisk(const std::filesystem::path& growing) {
    ::getrlimit(RLIMIT_FSIZE, &before_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit full = before_;
    full.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(growing));
    ::setrlimit(RLIMIT_FSIZE, &full);
  }
  ~FullDisk() {
    ::setrlimit(RLIMIT_FSIZE, &before_);
    ::signal(SIGXFSZ, previous_);
  }
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;

 private:
  rlimit before_{};
  sighandler_t previous_ = SIG_DFL;
};

}  // namespace kestrel::testing
