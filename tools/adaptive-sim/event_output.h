// What the simulated platform prints: one line per event received (stdout is
// line-buffered, so each line goes out at once),
// starting with the receiving daemon's name; complaints go to stderr.
#pragma once

#include <string>
#include <vector>

namespace adaptive_sim {

void print_event(const std::string& daemon, const std::string& text);
void print_complaint(const std::string& daemon, const std::string& text);

// Monotonic clock in nanoseconds, the same clock in every process.
long long monotonic_ns();

// Writes one value a line, for plots and percentiles of a measurement.
void write_samples(const std::string& path, const std::vector<double>& values);

}  // namespace adaptive_sim
