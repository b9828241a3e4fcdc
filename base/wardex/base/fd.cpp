#include "wardex/base/fd.h"

#include <unistd.h>

namespace wardex::base {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void Fd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

}  // namespace wardex::base
