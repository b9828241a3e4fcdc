// The seam between the ara::phm API and whatever carries its traffic: the
// platform's PHM daemon, or a test double.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ara::phm {

// Source of supervision failures for a callback client.
class Failure_source {
public:
    virtual ~Failure_source() = default;
    // Announces a callback name the client wants to hear about.
    virtual void subscribe(const std::string& name) = 0;
    // Blocks, calling deliver once per failure, until stop() is called.
    virtual void run(const std::function<void(const std::string& name)>& deliver) = 0;
    // Makes run() return; sticky.
    virtual void stop() = 0;
};

// Receiver of alive checkpoints.
class Checkpoint_sink {
public:
    virtual ~Checkpoint_sink() = default;
    // Throws std::runtime_error when the checkpoint cannot be delivered.
    virtual void checkpoint(const std::string& client_name, std::uint16_t supervision_entity,
                            std::uint16_t checkpoint_id) = 0;
};

// The platform's backends: the PHM daemon on phm.sock of the platform run
// directory. Neither connects before it is used.
std::unique_ptr<Failure_source> make_default_failure_source();
std::shared_ptr<Checkpoint_sink> make_default_checkpoint_sink();

// The same backends on another socket path. The failure source waits for an
// absent daemon and reconnects after it restarts, trying every retry interval.
std::unique_ptr<Failure_source> make_socket_failure_source(
    std::string socket_path, std::chrono::milliseconds retry_interval = std::chrono::milliseconds(200));
std::shared_ptr<Checkpoint_sink> make_socket_checkpoint_sink(std::string socket_path);

}  // namespace ara::phm
