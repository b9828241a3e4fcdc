// The fields of a provided interface; offering waits until each has a value.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace rk::com::cpp_binding::skeleton {

class Field_handler {
public:
    // has_value tells whether the field has been given its initial value.
    void add_field(std::string name, std::function<bool()> has_value);
    // Returns when the offer may proceed; throws std::logic_error naming the
    // first field without a value.
    void run_offer_cond_checks() const;

private:
    struct Field {
        std::string name;
        std::function<bool()> has_value;
    };
    std::vector<Field> fields_;
};

}  // namespace rk::com::cpp_binding::skeleton
