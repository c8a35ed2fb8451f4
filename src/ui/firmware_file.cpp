#include "ui/firmware_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <span>

#include "flash/flash_command.h"
#include "flash/image_format.h"

namespace sovra::ui {
namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

Status ReadFirmwareFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    // Non-blocking, so that a named pipe given as a firmware file cannot
    // hold the user-interface thread in open(); it is refused just below.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        return E_FAIL;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        return E_FAIL;
    }
    if (static_cast<std::uint64_t>(st.st_size) > FlashSize) {
        return E_IMAGE_TOO_LONG;
    }
    const auto length = static_cast<std::size_t>(st.st_size);
    std::vector<std::uint8_t> buffer(length);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::read(fd.get(), buffer.data() + got, length - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // An error, or the file shrank while it was read.
            return E_FAIL;
        }
        got += static_cast<std::size_t>(n);
    }
    bytes = std::move(buffer);
    return S_OK;
}

Status ValidateFirmwareFile(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) {
        return E_IMAGE_TOO_SHORT;
    }
    ImageLayout layout;
    return ValidateImage(std::span<const std::uint8_t>(bytes), FlashSize, layout);
}

}  // namespace sovra::ui
