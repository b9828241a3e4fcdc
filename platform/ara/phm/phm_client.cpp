#include "ara/phm/phm_client.h"

namespace ara::phm {

Phm_client::Phm_client(std::string name)
    : Phm_client(std::move(name), make_default_checkpoint_sink()) {}

Phm_client::Phm_client(std::string name, std::shared_ptr<Checkpoint_sink> sink)
    : name_(std::move(name)), sink_(std::move(sink)) {}

void Phm_client::report_checkpoint(std::uint16_t supervision_entity,
                                   std::uint16_t checkpoint_id) const {
    sink_->checkpoint(name_, supervision_entity, checkpoint_id);
}

}  // namespace ara::phm
