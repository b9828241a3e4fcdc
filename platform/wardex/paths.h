// Where the platform files live. On the target the paths are the real ones;
// a host build moves them under the sysroot chosen when configuring.
#pragma once

#include <string>

namespace wardex::paths {

// The filesystem root chosen at configure time (empty on the target).
const std::string& sysroot();
// An absolute target path moved under the sysroot.
std::string in_sysroot(const std::string& absolute_path);
// The platform run directory, "/var/run/adaptive", under the sysroot.
std::string run_dir();
// The platform configuration directory, "/etc/adaptive", under the sysroot.
std::string etc_adaptive_dir();

}  // namespace wardex::paths
