// Unix stream sockets of the platform run directory, and a line-oriented
// connection over one. Failures are std::system_error with the errno.
//
// Nothing here waits without a bound: connecting and sending end at a
// deadline, a connection's outgoing queue has a limit, and a read takes one
// bounded chunk. A thread that must be able to end its waits early (the PHM
// client's Run, and the callbacks it delivers) names a descriptor that
// becomes readable when it is asked to stop: every wait on that thread then
// ends with ECANCELED.
#pragma once

#include "wardex/base/fd.h"
#include "wardex/base/wakeup.h"
#include "wardex/protocol.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace wardex::io {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// The descriptor owner and the eventfd wake-up every folder shares.
using Fd = wardex::base::Fd;
using Wakeup = wardex::base::Wakeup;

// While it lives, waits of this thread end with ECANCELED as soon as fd is
// readable. Scopes nest; the innermost one counts.
class Cancel_scope {
public:
    explicit Cancel_scope(int fd);
    ~Cancel_scope();
    Cancel_scope(const Cancel_scope&) = delete;
    Cancel_scope& operator=(const Cancel_scope&) = delete;

private:
    int previous_;
};

// Throws ECANCELED when this thread's cancel descriptor is readable.
void throw_if_cancelled(const char* while_doing);

// Waits until fd reports one of events (or an error or hang-up), until the
// deadline; false once the deadline has passed, also when fd is ready then,
// so that a loop over it ends at its deadline however busy the peer keeps
// it. Throws ECANCELED.
bool wait_for(int fd, short events, Deadline deadline);

// Connects to the socket at path, waiting at most until the deadline while
// the listener's backlog is full (ETIMEDOUT). The descriptor is non-blocking.
Fd connect_unix(const std::string& path, Deadline deadline);
inline Fd connect_unix(const std::string& path,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return connect_unix(path, Clock::now() + timeout);
}

// Listens on path with mode 0660, non-blocking; a stale socket file left
// there is replaced.
Fd listen_unix(const std::string& path, int backlog = 16);

// Accepts one waiting connection, non-blocking; an empty Fd when none waits.
Fd accept_connection(int listening_fd);

// Writes all of data, waiting at most a second whenever the socket takes
// nothing; never raises SIGPIPE.
void write_all(int fd, std::string_view data);

// Creates every missing directory of path (like mkdir -p), mode 0755.
void make_directories(const std::string& path);

// Lines in, lines out over one connected, non-blocking socket.
class Line_connection {
public:
    // Bytes that may wait for a peer that does not read.
    static constexpr std::size_t kDefaultMaxOutgoing = 64 * 1024;
    // Bytes taken from the socket in one read.
    static constexpr std::size_t kReadChunk = 4096;

    explicit Line_connection(Fd fd, std::size_t max_outgoing = kDefaultMaxOutgoing);

    int fd() const { return fd_.get(); }

    // Queues the line and sends what the socket takes now, without waiting.
    // Throws ENOBUFS, queueing nothing, when the line would make more than
    // max_outgoing bytes wait; or the errno of a broken connection.
    void send_line(std::string_view line);
    // Sends what waits, as far as the socket takes it now; true when nothing
    // waits any more. Throws the errno of a broken connection.
    bool flush();
    std::size_t waiting() const { return outgoing_.size(); }
    // Sends everything that waits; ETIMEDOUT when the deadline comes first.
    void flush_until(Deadline deadline);

    // Takes one chunk of at most kReadChunk bytes from the socket without
    // waiting and queues its whole lines; false when the peer has closed.
    bool read_some();
    std::optional<std::string> next_line();

    // The next line, waiting until the deadline and sending what waits
    // meanwhile; nothing at the deadline. Lines already read are handed out
    // after it, but nothing more is read, so a caller that reads line after
    // line gets nothing at most one chunk after the deadline however many
    // the peer sends. Throws ECONNRESET when the peer has closed, ECANCELED.
    std::optional<std::string> read_line(Deadline deadline);
    std::optional<std::string> read_line(std::chrono::milliseconds timeout) {
        return read_line(Clock::now() + timeout);
    }

    // Overlong lines seen so far.
    unsigned overlong_lines() const { return overlong_; }

private:
    Fd fd_;
    std::size_t max_outgoing_;
    std::string outgoing_;
    std::deque<std::string> lines_;
    unsigned overlong_ = 0;
    protocol::Line_splitter splitter_;
};

}  // namespace wardex::io
