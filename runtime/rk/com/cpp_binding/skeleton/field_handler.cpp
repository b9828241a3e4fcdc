#include "rk/com/cpp_binding/skeleton/field_handler.h"

#include <stdexcept>

namespace rk::com::cpp_binding::skeleton {

void Field_handler::add_field(std::string name, std::function<bool()> has_value) {
    fields_.push_back(Field{std::move(name), std::move(has_value)});
}

void Field_handler::run_offer_cond_checks() const {
    for (const auto& field : fields_) {
        if (!field.has_value || !field.has_value()) {
            throw std::logic_error("Field " + field.name + " has no initial value");
        }
    }
}

}  // namespace rk::com::cpp_binding::skeleton
