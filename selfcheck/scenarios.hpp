#pragma once

#include <array>

#include <vorn_package/vorn_package.hpp>

namespace tests {

// The minimal valid package the package scenarios start from: the default
// application with one tile holding one 4-byte segment. A new value per call.
vorn_package::Application sample();

void profile_round_trip();
void randomized_profile_reports_use_adjacent_start_samples();
void rejects_ambiguous_device_configuration();
void rejects_implicit_host_batches();
void rejects_overlapping_segments();
void round_trip_and_reconstruct();

struct Scenario {
  const char* name;
  void (*run)();
  const char* file;
  int line;
};

// The six scenarios in the order they are handed to the runner.
extern const std::array<Scenario, 6> kScenarios;

}  // namespace tests
