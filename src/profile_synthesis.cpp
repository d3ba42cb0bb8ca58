// Runtime cycle counters + profiling plans -> ProfileReport.

#include <cstring>
#include <limits>
#include <unordered_map>

#include <fmt/format.h>

#include <vorn_package/vorn_package.hpp>

namespace vorn_package {
namespace {

std::unexpected<PackageError> fail(std::string message) {
  return std::unexpected(PackageError::invalid(std::move(message)));
}

constexpr std::string_view kCycleBinding = "profile.cycles";

}  // namespace

std::expected<ProfileReport, PackageError> Application::profile_report(std::span<const std::uint8_t> runtime_output,
                                                                       std::uint64_t clock_hz) const {
  // The outputs lie back to back; the counters start after every binding
  // listed before theirs.
  std::uint64_t base = 0;
  const Binding* cycles = nullptr;
  for (const Binding& binding : outputs) {
    if (binding.name == kCycleBinding) {
      cycles = &binding;
      break;
    }
    if (__builtin_add_overflow(base, binding_size(binding), &base)) return fail("output binding size overflow");
  }
  if (!cycles) return fail("application has no cycle profile binding");

  // A later slice for a tile replaces an earlier one.
  std::unordered_map<std::uint32_t, const RegionSlice*> slice_of;
  slice_of.reserve(cycles->slices.size());
  for (const RegionSlice& slice : cycles->slices) slice_of.insert_or_assign(slice.tile, &slice);

  ProfileReport report{clock_hz, {}};
  report.tiles.reserve(profile_tiles.size());
  std::vector<std::uint32_t> counters;
  for (const TileProfilePlan& plan : profile_tiles) {
    auto found = slice_of.find(plan.physical_tile);
    if (found == slice_of.end()) return fail(fmt::format("cycle profile has no slice for tile {}", plan.physical_tile));
    const RegionSlice& slice = *found->second;

    const std::size_t steps = plan.steps.size();
    std::uint64_t samples;
    if (steps >= std::numeric_limits<std::uint64_t>::max()) return fail("profile sample count overflow");
    samples = std::uint64_t{steps} + 1;
    std::uint64_t expected;
    if (__builtin_mul_overflow(samples, std::uint64_t{4}, &expected)) return fail("profile sample size overflow");
    if (slice.size != expected) {
      return fail(fmt::format("cycle profile slice for tile {} has size {}, expected {}", plan.physical_tile,
                              slice.size, expected));
    }
    std::uint64_t start64;
    if (__builtin_add_overflow(base, slice.file_offset, &start64) ||
        start64 > std::numeric_limits<std::size_t>::max()) {
      return fail("profile output offset overflow");
    }
    // Kept for platforms whose size type is narrower than 64 bits.
    if (slice.size > std::numeric_limits<std::size_t>::max()) return fail("profile output size exceeds usize");
    std::size_t start = static_cast<std::size_t>(start64);
    std::size_t end;
    if (__builtin_add_overflow(start, static_cast<std::size_t>(slice.size), &end)) {
      return fail("profile output range overflow");
    }
    if (end > runtime_output.size()) return fail("profile binding exceeds runtime output");

    // Little-endian 32-bit counters at any alignment.
    counters.resize(samples);
    const std::uint8_t* bytes = runtime_output.data() + start;
    for (std::size_t i = 0; i < samples; ++i) {
      const std::uint8_t* p = bytes + 4 * i;
      counters[i] = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                    std::uint32_t{p[3]} << 24;
    }

    TileProfile& tile = report.tiles.emplace_back();
    tile.physical_tile = plan.physical_tile;
    tile.samples.reserve(steps);
    for (std::size_t i = 0; i < steps; ++i) {
      tile.samples.push_back(CycleSample{plan.steps[i], counters[i], counters[i + 1]});
    }
  }
  return report;
}

}  // namespace vorn_package
