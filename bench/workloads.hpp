// Device-scale workloads, generated in memory with a fixed seed.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <vorn_package/vorn_package.hpp>

namespace workloads {

using namespace vorn_package;

inline constexpr std::uint32_t kTiles = 1472;

inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

inline TileImage small_tile(std::uint32_t t) {
  return TileImage{.physical_tile = t,
                   .entry_point = 0x4c000,
                   .command_address = 0x4c100,
                   .diagnostic_address = 0x4c200,
                   .segments = {Segment{.address = 0x4c000, .memory_size = 64, .data = pattern(64, t), .flags = 1}}};
}

// W1: data-heavy. 1472 tiles x 4 segments, 256 KiB per tile, no plans.
inline Application w1() {
  Application app;
  app.compiler_version = "bench-w1";
  const std::uint32_t sizes[] = {100003, 90001, 50005, 22135};
  app.tiles.reserve(kTiles);
  for (std::uint32_t t = 0; t < kTiles; ++t) {
    TileImage tile{.physical_tile = t, .entry_point = 0x4c000, .command_address = 0x4c100, .diagnostic_address = 0x4c200};
    std::uint32_t address = kTileMemoryBase;
    for (std::uint32_t i = 0; i < 4; ++i) {
      tile.segments.push_back(
          Segment{.address = address, .memory_size = sizes[i], .data = pattern(sizes[i], t * 4 + i), .flags = i});
      address += sizes[i];
    }
    app.tiles.push_back(std::move(tile));
  }
  return app;
}

inline std::string text(std::mt19937& random, std::size_t min, std::size_t max, char first) {
  std::uniform_int_distribution<std::size_t> length(min, max);
  std::uniform_int_distribution<int> letter(0, 25);
  std::string s(length(random), first);
  for (std::size_t i = 1; i < s.size(); ++i) s[i] = static_cast<char>('a' + letter(random));
  return s;
}

inline std::vector<ProfileStep> plan_steps(std::mt19937& random, std::uint32_t count, bool rich) {
  std::vector<ProfileStep> steps;
  steps.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    ProfileStep step{.local_index = i,
                     .phase = i / 4,
                     .epoch = i / 64,
                     .operation = text(random, 12, 20, 'o'),
                     .kind = static_cast<ProfileStepKind>(i % 4),
                     .kernel = text(random, 20, 28, 'k'),
                     .exchange_event_cycles = i * 3};
    if (rich) {
      step.metadata = {ProfileMetadata{"reason", "OperatorKernel"}};
      step.exchange_activities = {{ProfileExchangeActivityKind::Send, i, i + 10},
                                  {ProfileExchangeActivityKind::PartnerBusy, i + 10, i + 12}};
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

// W2: metadata-heavy. 1472 small tiles, 1472 plans x 256 steps.
inline Application w2() {
  std::mt19937 random(2);
  Application app;
  app.compiler_version = "bench-w2";
  for (std::uint32_t t = 0; t < kTiles; ++t) {
    app.tiles.push_back(small_tile(t));
    app.profile_tiles.push_back(TileProfilePlan{t, plan_steps(random, 256, true)});
  }
  return app;
}

// W3: bindings and host exchange. 100000 bindings x 4 slices, 1000 host
// calls x 64 slices in batches of 8.
inline Application w3() {
  Application app;
  app.compiler_version = "bench-w3";
  for (std::uint32_t t = 0; t < kTiles; ++t) app.tiles.push_back(small_tile(t));
  app.inputs.reserve(100000);
  for (std::uint32_t b = 0; b < 100000; ++b) {
    Binding binding{.name = fmt::format("tensor.{}.input", b), .dtype = "f32", .shape = {4, 256}};
    for (std::uint32_t s = 0; s < 4; ++s) {
      binding.slices.push_back(RegionSlice{.tile = (b * 4 + s) % kTiles,
                                           .tile_address = 0x4c100 + 1024 * s,
                                           .file_offset = 1024ull * s,
                                           .size = 1024});
    }
    app.inputs.push_back(std::move(binding));
  }
  HostExchange& ex = app.host_exchange;
  for (std::uint32_t p = 0; p < 64; ++p) ex.pages.push_back(HostPage{p * 3 + 1, 1 << 20});
  for (const HostPage& p : ex.pages) ex.attach_order.push_back(p.index);
  ex.command_page = 1;
  for (std::uint32_t c = 0; c < 1000; ++c) {
    HostCall call{.name = fmt::format("call.{}", c), .command = c, .phases = 2, .invocations = 1};
    for (std::uint32_t s = 0; s < 32; ++s) {
      call.inputs.push_back(HostSlice{ex.pages[(c + s) % 64].index, 4096ull * s, 4096ull * s, 4096});
      call.outputs.push_back(HostSlice{ex.pages[(c + s + 7) % 64].index, 4096ull * s, 4096ull * s, 2048});
    }
    for (std::uint32_t e = 8; e <= 32; e += 8) {
      call.input_batch_ends.push_back(e);
      call.output_batch_ends.push_back(e);
    }
    ex.calls.push_back(std::move(call));
  }
  return app;
}

// W4: profile synthesis. 1472 plans x 1000 steps and the runtime output
// that holds their counters after a 4 KiB output binding.
struct W4 {
  Application app;
  std::vector<std::uint8_t> runtime_output;
};

inline W4 w4() {
  std::mt19937 random(4);
  W4 w;
  w.app.outputs.push_back(Binding{.name = "logits", .dtype = "u8", .slices = {RegionSlice{0, 0x4c000, 0, 4096}}});
  Binding cycles{.name = "profile.cycles", .dtype = "u32"};
  std::uint64_t offset = 0;
  for (std::uint32_t t = 0; t < kTiles; ++t) {
    w.app.tiles.push_back(small_tile(t));
    w.app.profile_tiles.push_back(TileProfilePlan{t, plan_steps(random, 1000, false)});
    cycles.slices.push_back(RegionSlice{t, 0x4d000, offset, 4 * 1001});
    offset += 4 * 1001;
  }
  w.app.outputs.push_back(std::move(cycles));
  w.runtime_output = pattern(4096 + offset, 99);
  return w;
}

}  // namespace workloads
