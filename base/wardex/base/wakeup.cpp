#include "wardex/base/wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace wardex::base {

Wakeup::Wakeup(Mode mode)
    : fd_(::eventfd(0, EFD_CLOEXEC | (mode == Mode::non_blocking ? EFD_NONBLOCK : 0))) {
    if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void Wakeup::notify() const noexcept {
    const int saved = errno;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_.get(), &one, sizeof one);
    errno = saved;
}

void Wakeup::drain() const noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(fd_.get(), &count, sizeof count);
}

int Wakeup::wait() const noexcept {
    std::uint64_t count = 0;
    if (::read(fd_.get(), &count, sizeof count) < 0 && errno != EINTR) return errno;
    return 0;
}

}  // namespace wardex::base
