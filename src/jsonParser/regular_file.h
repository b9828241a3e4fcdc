// Reading a whole file that must be a regular file of bounded size: the
// configuration and the partition host name come from files that another
// process could replace by a FIFO, a device or something huge.
#pragma once

#include <cstddef>
#include <string>

struct Regular_file {
    enum class Status { kRead, kCannotOpen, kNotRegular, kTooLarge };
    Status status = Status::kCannotOpen;
    std::string content;  // the whole file when status is kRead
};

// Opening never waits (a FIFO without a writer is refused, not waited on),
// and at most max_bytes + 1 bytes are ever read.
Regular_file read_regular_file(const std::string& path, std::size_t max_bytes);
