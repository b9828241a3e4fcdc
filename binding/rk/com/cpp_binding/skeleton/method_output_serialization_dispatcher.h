// Encodes a method's result for its reply: a generated structure field by
// field in declaration order, any other value as it is.
#pragma once

#include "rk/com/someip/serialization/serializer.h"
#include "tq/com/generated_type.h"

namespace rk::com::cpp_binding::skeleton {

template <typename R>
struct Method_output_serialization_dispatcher {
    static void serialize(const someip::serialization::Serializer& serializer, const R& value) {
        if constexpr (tq::com::is_generated_type_v<R>) {
            tq::com::visit_fields(value, [&serializer](const auto& field) { serializer.serialize(field); });
        } else {
            serializer.serialize(value);
        }
    }
};

}  // namespace rk::com::cpp_binding::skeleton
