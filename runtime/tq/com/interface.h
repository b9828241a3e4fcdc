// Common base of the communication binding's polymorphic classes.
#pragma once

namespace tq::com {

class Interface {
public:
    virtual ~Interface() = default;
};

}  // namespace tq::com
