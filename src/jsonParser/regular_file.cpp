#include "regular_file.h"

#include "wardex/base/fd.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Regular_file read_regular_file(const std::string& path, std::size_t max_bytes) {
    Regular_file file;
    const wardex::base::Fd owned(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    const int fd = owned.get();
    struct stat status {};
    if (!owned || ::fstat(fd, &status) != 0) return file;
    if (!S_ISREG(status.st_mode)) {
        file.status = Regular_file::Status::kNotRegular;
    } else if (static_cast<unsigned long long>(status.st_size) > max_bytes) {
        file.status = Regular_file::Status::kTooLarge;
    } else {
        // The file may grow while it is read: one byte more than allowed tells.
        file.content.resize(static_cast<std::size_t>(status.st_size) + 1);
        std::size_t size = 0;
        file.status = Regular_file::Status::kRead;
        while (size <= max_bytes) {
            if (size == file.content.size()) file.content.resize(std::min(max_bytes + 1, 2 * size));
            const ssize_t got = ::read(fd, &file.content[size], file.content.size() - size);
            if (got == 0) break;
            if (got < 0) {
                if (errno == EINTR) continue;
                file.status = Regular_file::Status::kCannotOpen;
                break;
            }
            size += static_cast<std::size_t>(got);
        }
        if (size > max_bytes) file.status = Regular_file::Status::kTooLarge;
        file.content.resize(file.status == Regular_file::Status::kRead ? size : 0);
    }
    return file;
}
