// ara::phm client and supervision entity: alive checkpoints towards PHM.
#pragma once

#include "ara/phm/phm_backend.h"

#include <memory>
#include <string>

namespace ara::phm {

class Phm_client_interface {
public:
    virtual ~Phm_client_interface() = default;
    virtual const std::string& name() const = 0;
    virtual void report_checkpoint(std::uint16_t supervision_entity,
                                   std::uint16_t checkpoint_id) const = 0;
};

class Phm_client : public Phm_client_interface {
public:
    explicit Phm_client(std::string name);
    Phm_client(std::string name, std::shared_ptr<Checkpoint_sink> sink);

    const std::string& name() const override { return name_; }
    void report_checkpoint(std::uint16_t supervision_entity,
                           std::uint16_t checkpoint_id) const override;

private:
    std::string name_;
    std::shared_ptr<Checkpoint_sink> sink_;
};

class SupervisionEntity {
public:
    explicit SupervisionEntity(const Phm_client_interface& client) : client_(client) {}
    // Throws std::runtime_error when PHM cannot be reached.
    void CheckpointReached(unsigned short supervision_entity, unsigned short checkpoint_id) {
        client_.report_checkpoint(supervision_entity, checkpoint_id);
    }

private:
    const Phm_client_interface& client_;
};

}  // namespace ara::phm
