#include "wardex/paths.h"

#ifndef WARDEX_SYSROOT
#define WARDEX_SYSROOT ""
#endif

namespace wardex::paths {

const std::string& sysroot() {
    static const std::string root = [] {
        std::string r = WARDEX_SYSROOT;
        while (!r.empty() && r.back() == '/') r.pop_back();
        return r;
    }();
    return root;
}

std::string in_sysroot(const std::string& absolute_path) { return sysroot() + absolute_path; }

std::string run_dir() { return in_sysroot("/var/run/adaptive"); }

std::string etc_adaptive_dir() { return in_sysroot("/etc/adaptive"); }

}  // namespace wardex::paths
