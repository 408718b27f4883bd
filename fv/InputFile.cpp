#include "fv/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fv/Layout.h"

namespace fv {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

std::string Mib(uint64_t bytes) {
  return bytes % (1u << 20) == 0 ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes >> 10) + " KiB";
}

// Opens `path` for reading and checks it; answers the descriptor and the size.
Descriptor OpenChecked(const std::string& path, const InputKind& kind, uint64_t* size) {
  // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one.
  Descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.Get() < 0) throw FvError(path + ": cannot open the " + kind.name + ": " + std::strerror(errno));
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) throw FvError(path + ": cannot read the " + kind.name + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw FvError(path + ": is a directory; the " + kind.name + " must be a regular file");
  if (!S_ISREG(st.st_mode))
    throw FvError(path + ": is not a regular file (a FIFO, socket or device); the " + kind.name + " must be one");
  const uint64_t bytes = static_cast<uint64_t>(st.st_size);
  if (bytes > kind.maxBytes)
    throw FvError(path + ": " + std::to_string(bytes) + " bytes; the " + kind.name + " may have at most " +
                  std::to_string(kind.maxBytes) + " (" + Mib(kind.maxBytes) + ")");
  *size = bytes;
  return fd;
}

}  // namespace

uint64_t CheckInputFile(const std::string& path, const InputKind& kind) {
  uint64_t size = 0;
  OpenChecked(path, kind, &size);
  return size;
}

std::vector<uint8_t> ReadInputFile(const std::string& path, const InputKind& kind) {
  uint64_t size = 0;
  const Descriptor fd = OpenChecked(path, kind, &size);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = read(fd.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw FvError(path + ": the " + kind.name + " changed or could not be read while it was read");
    done += static_cast<size_t>(n);
  }
  uint8_t more = 0;
  if (read(fd.Get(), &more, 1) > 0) throw FvError(path + ": the " + kind.name + " grew while it was read");
  return bytes;
}

}  // namespace fv
