#include "scenarios.hpp"

#include <random>

#include <fmt/format.h>
#include <gtest/gtest.h>

using namespace vorn_package;

// Fails the scenario on the spot, showing the error, when an operation whose
// success the scenario requires reports a PackageError.
#define REQUIRE_OK(result)                                                       \
  do {                                                                           \
    const auto& require_ok_ = (result);                                          \
    ASSERT_TRUE(require_ok_.has_value()) << #result << ": " << require_ok_.error(); \
  } while (false)

namespace tests {

Application sample() {
  Application app;
  app.tiles.push_back(TileImage{
      .physical_tile = 0,
      .entry_point = 0x4c000,
      .command_address = 0x4c100,
      .diagnostic_address = 0x4c200,
      .segments = {Segment{.address = 0x4c000, .memory_size = 8, .data = {1, 2, 3, 4}, .flags = 5}},
  });
  return app;
}

namespace {

ProfileStep round_trip_step(ProfileStepKind kind, std::uint32_t index) {
  ProfileStep step{
      .local_index = index,
      .phase = 5,
      .epoch = 8,
      .operation = "accumulate",
      .kind = kind,
      .kernel = "gemm_f32_accumulate",
      .metadata = {ProfileMetadata{"innerBlock", "8"}},
      .exchange_activities = {},
      .exchange_event_cycles = 9,
  };
  if (kind == ProfileStepKind::Exchange) {
    step.exchange_activities = {{ProfileExchangeActivityKind::Send, 2, 6},
                                {ProfileExchangeActivityKind::PartnerBusy, 6, 8}};
  }
  return step;
}

void append_le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

}  // namespace

constexpr int profile_round_trip_line = __LINE__ + 1;
void profile_round_trip() {
  const ProfileStepKind kinds[] = {ProfileStepKind::Exchange, ProfileStepKind::Compute,
                                   ProfileStepKind::Synchronization, ProfileStepKind::Idle};
  TileProfile tile{.physical_tile = 17, .samples = {}};
  for (std::uint32_t index = 0; index < 4; ++index) {
    // The counter wraps during every sample: each ends below its start.
    tile.samples.push_back(CycleSample{round_trip_step(kinds[index], index), 0xfffffff5u + index, index + 7});
  }
  const ProfileReport profile{.clock_hz = 1500000000, .tiles = {tile}};

  std::vector<std::uint8_t> encoded;
  REQUIRE_OK(profile.write(encoded));
  auto decoded = ProfileReport::read(encoded);
  REQUIRE_OK(decoded);
  ASSERT_EQ(*decoded, profile);
}

constexpr int randomized_profile_reports_use_adjacent_start_samples_line = __LINE__ + 1;
void randomized_profile_reports_use_adjacent_start_samples() {
  std::mt19937_64 random(0x70726f66);
  using Size = std::uniform_int_distribution<std::size_t>;
  using U32 = std::uniform_int_distribution<std::uint32_t>;
  std::bernoulli_distribution boolean(0.5);

  struct Expected {
    std::uint32_t physical_tile;
    std::vector<ProfileStep> steps;
    std::vector<std::uint32_t> bounds;
  };

  for (int random_case = 0; random_case < 64; ++random_case) {
    const std::string label = fmt::format("random case {}", random_case);
    const std::size_t tile_count = Size(1, 8)(random);
    const std::size_t prefix_bytes = 4 * Size(0, 8)(random);

    Application app;
    Binding prefix{.name = "prefix", .dtype = "u8", .shape = {static_cast<std::uint32_t>(prefix_bytes)}, .slices = {}};
    if (prefix_bytes != 0) {
      prefix.slices.push_back(RegionSlice{.tile = 0, .tile_address = 0x4c000, .file_offset = 0, .size = prefix_bytes});
    }
    app.outputs.push_back(prefix);

    std::vector<std::uint8_t> output(prefix_bytes, 0xa5);
    std::vector<RegionSlice> slices;
    std::uint64_t profile_offset = 0;
    std::vector<Expected> expected;

    for (std::uint32_t tile = 0; tile < tile_count; ++tile) {
      const std::size_t step_count = Size(1, 16)(random);
      std::uint32_t cycle = U32(0, 0x7fffffff)(random);
      std::vector<std::uint32_t> bounds{cycle};
      for (std::size_t i = 0; i < step_count; ++i) {
        cycle += U32(1, 10000)(random);
        bounds.push_back(cycle);
      }
      for (std::uint32_t bound : bounds) append_le32(output, bound);

      std::uint64_t size = 0;
      ASSERT_FALSE(__builtin_mul_overflow(std::uint64_t{step_count} + 1, 4, &size)) << label;
      slices.push_back(RegionSlice{.tile = tile, .tile_address = 0x4c100, .file_offset = profile_offset, .size = size});
      ASSERT_FALSE(__builtin_add_overflow(profile_offset, size, &profile_offset)) << label;

      std::vector<ProfileStep> steps;
      for (std::uint32_t index = 0; index < step_count; ++index) {
        steps.push_back(ProfileStep{
            .local_index = index,
            .phase = index,
            .epoch = 0,
            .operation = fmt::format("operation.{}", index),
            .kind = boolean(random) ? ProfileStepKind::Compute : ProfileStepKind::Exchange,
            .kernel = fmt::format("kernel.{}", index),
            .metadata = {},
            .exchange_activities = {},
            .exchange_event_cycles = 0,
        });
      }
      expected.push_back(Expected{tile, steps, bounds});
      app.profile_tiles.push_back(TileProfilePlan{.physical_tile = tile, .steps = std::move(steps)});
    }
    app.outputs.push_back(Binding{.name = "profile.cycles",
                                  .dtype = "u32",
                                  .shape = {static_cast<std::uint32_t>(profile_offset / 4)},
                                  .slices = slices});

    auto report = app.profile_report(output, 1500000000);
    ASSERT_TRUE(report.has_value()) << label << ": " << report.error();
    ASSERT_EQ(report->tiles.size(), tile_count) << label;
    for (std::size_t tile_index = 0; tile_index < report->tiles.size(); ++tile_index) {
      const TileProfile& tile = report->tiles[tile_index];
      const Expected& want = expected[tile_index];
      ASSERT_EQ(tile_index, want.physical_tile) << label;
      ASSERT_EQ(tile.physical_tile, want.physical_tile);
      for (std::size_t index = 0; index < tile.samples.size(); ++index) {
        // A sample beyond the planned steps has nothing to compare with.
        ASSERT_LT(index, want.steps.size()) << label;
        ASSERT_EQ(tile.samples[index].step, want.steps[index]) << label;
        ASSERT_EQ(tile.samples[index].start_cycle, want.bounds[index]) << label;
        ASSERT_EQ(tile.samples[index].end_cycle, want.bounds[index + 1]) << label;
      }
    }
  }
}

constexpr int rejects_ambiguous_device_configuration_line = __LINE__ + 1;
void rejects_ambiguous_device_configuration() {
  Application app = sample();
  app.device_config_writes = {DeviceConfigWrite{.offset = 4, .value = 1}, DeviceConfigWrite{.offset = 4, .value = 2}};
  ASSERT_FALSE(app.validate().has_value());
}

constexpr int rejects_implicit_host_batches_line = __LINE__ + 1;
void rejects_implicit_host_batches() {
  const HostCall call{.name = "explicit-batches", .command = 0, .phases = 0, .invocations = 1};
  ASSERT_FALSE(validate_host_batch_ends(call, "input", {}, 1).has_value());
  ASSERT_FALSE(validate_host_batch_ends(call, "output", {}, 1).has_value());
  REQUIRE_OK(validate_host_batch_ends(call, "input", {}, 0));
}

constexpr int rejects_overlapping_segments_line = __LINE__ + 1;
void rejects_overlapping_segments() {
  Application app = sample();
  Segment duplicate = app.tiles[0].segments[0];
  app.tiles[0].segments.push_back(duplicate);
  ASSERT_FALSE(app.validate().has_value());
}

constexpr int round_trip_and_reconstruct_line = __LINE__ + 1;
void round_trip_and_reconstruct() {
  Application app = sample();
  app.profile_tiles.push_back(TileProfilePlan{
      .physical_tile = 0,
      .steps = {ProfileStep{
          .local_index = 0,
          .phase = 7,
          .epoch = 0,
          .operation = "operation.0",
          .kind = ProfileStepKind::Compute,
          .kernel = "kernel",
          .metadata = {ProfileMetadata{"reason", "OperatorKernel"}},
          .exchange_activities = {{ProfileExchangeActivityKind::Receive, 3, 11},
                                  {ProfileExchangeActivityKind::PartnerBusy, 1, 3}},
          .exchange_event_cycles = 13,
      }},
  });
  app.device_config_writes.push_back(DeviceConfigWrite{.offset = 0x4018, .value = 0xc000000d});
  app.debug_symbols.push_back(DebugSymbol{.name = "kernel", .address = 0x4c000});
  app.debug_regions.push_back(
      DebugRegion{.physical_tile = 0xFFFFFFFF, .address = 0x4c000, .size = 8, .name = "linked executable"});
  app.host_exchange = HostExchange{
      .startup_mark = 1,
      .command_page = 0,
      .command_offset = 0,
      .pages = {HostPage{.index = 0, .size = 4096}, HostPage{.index = 1, .size = 8192}},
      .attach_order = {0, 1},
      .calls = {HostCall{
          .name = "batched",
          .command = 2,
          .phases = 4,
          .inputs = {HostSlice{.page = 1, .page_offset = 0, .file_offset = 0, .size = 16},
                     HostSlice{.page = 1, .page_offset = 4096, .file_offset = 16, .size = 16}},
          .outputs = {HostSlice{.page = 1, .page_offset = 0, .file_offset = 0, .size = 32}},
          .invocations = 1,
          .input_batch_ends = {2},
          .output_batch_ends = {1},
      }},
  };

  std::vector<std::uint8_t> encoded;
  REQUIRE_OK(app.write(encoded));
  auto decoded = Application::read(encoded);
  REQUIRE_OK(decoded);
  ASSERT_EQ(*decoded, app);

  auto image = decoded->tile_image(0);
  REQUIRE_OK(image);
  ASSERT_GE(image->size(), 8u);
  const std::vector<std::uint8_t> head(image->begin(), image->begin() + 8);
  ASSERT_EQ(head, (std::vector<std::uint8_t>{1, 2, 3, 4, 0, 0, 0, 0}));
}

const std::array<Scenario, 6> kScenarios = {{
    {"profile_round_trip", &profile_round_trip, __FILE__, profile_round_trip_line},
    {"randomized_profile_reports_use_adjacent_start_samples", &randomized_profile_reports_use_adjacent_start_samples,
     __FILE__, randomized_profile_reports_use_adjacent_start_samples_line},
    {"rejects_ambiguous_device_configuration", &rejects_ambiguous_device_configuration, __FILE__,
     rejects_ambiguous_device_configuration_line},
    {"rejects_implicit_host_batches", &rejects_implicit_host_batches, __FILE__, rejects_implicit_host_batches_line},
    {"rejects_overlapping_segments", &rejects_overlapping_segments, __FILE__, rejects_overlapping_segments_line},
    {"round_trip_and_reconstruct", &round_trip_and_reconstruct, __FILE__, round_trip_and_reconstruct_line},
}};

}  // namespace tests
