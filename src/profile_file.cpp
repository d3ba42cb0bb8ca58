// ProfileReport <-> profile report bytes. Steps go through the same encoder
// and decoder as the plans of a package.

#include <fmt/format.h>

#include "profile_codec.hpp"

namespace vorn_package {
namespace {

namespace schema = vorn_package::profile_capnp;
using detail::Budget;
using detail::Failure;

void check_encodable(const ProfileReport& report) {
  using L = detail::EncodeLimits;
  L::list(report.tiles.size(), 2, "tile profiles");
  for (const TileProfile& tile : report.tiles) {
    L::list(tile.samples.size(), 2, "cycle samples");
    for (const CycleSample& sample : tile.samples) L::step(sample.step);
  }
}

}  // namespace

namespace detail {

// The report, in the order that fixes its bytes.
void put_report(capnp::MessageBuilder& message, const ProfileReport& report) {
  auto root = message.initRoot<schema::Profile>();
  root.setSchemaVersion(kProfileSchemaVersion);
  root.setClockHz(report.clock_hz);
  auto tile_list = root.initTiles(static_cast<unsigned>(report.tiles.size()));
  for (unsigned i = 0; i < report.tiles.size(); ++i) {
    auto tb = tile_list[i];
    tb.setPhysicalTile(report.tiles[i].physical_tile);
    const auto& samples = report.tiles[i].samples;
    auto sample_list = tb.initSamples(static_cast<unsigned>(samples.size()));
    for (unsigned j = 0; j < samples.size(); ++j) {
      auto sb = sample_list[j];
      sb.setStartCycle(samples[j].start_cycle);
      sb.setEndCycle(samples[j].end_cycle);
      write_step(sb.initStep(), samples[j].step);
    }
  }
}

// The allocations of put_report, in its order, without building.
std::vector<std::uint32_t> plan_report(const ProfileReport& report) {
  SegmentPlan plan;
  auto root = plan.root(3);
  auto tiles = plan.structs(root, report.tiles.size(), 2);
  for (const TileProfile& tile : report.tiles) {
    auto samples = plan.structs(tiles, tile.samples.size(), 2);
    for (const CycleSample& sample : tile.samples) plan_step(plan, plan.object(samples, 7), sample.step);
  }
  return plan.sizes();
}

}  // namespace detail

namespace {

ProfileReport decode(std::span<const std::uint8_t> input) {
  Budget budget(input.size());
  detail::Framed framed = detail::frame_message(input, budget);
  capnp::FlatArrayMessageReader message(framed.words, capnp_reader_options());
  auto root = message.getRoot<schema::Profile>();
  std::uint32_t version = root.getSchemaVersion();
  if (version < 1 || version > kProfileSchemaVersion) {
    throw Failure{PackageError::invalid(fmt::format("unsupported profile schema version {}", version))};
  }
  ProfileReport report;
  auto tiles = root.getTiles();
  report.tiles = detail::reserve_for<TileProfile>(tiles, budget);
  for (auto t : tiles) {
    TileProfile& tile = report.tiles.emplace_back();
    auto samples = t.getSamples();
    tile.samples = detail::reserve_for<CycleSample>(samples, budget);
    for (auto s : samples) {
      CycleSample& sample = tile.samples.emplace_back();
      detail::read_step(s.getStep(), budget, sample.step);
      sample.start_cycle = s.getStartCycle();
      sample.end_cycle = s.getEndCycle();
    }
    tile.physical_tile = t.getPhysicalTile();
  }
  report.clock_hz = root.getClockHz();
  return report;
}

}  // namespace

std::expected<void, PackageError> ProfileReport::write(std::vector<std::uint8_t>& output) const {
  return detail::guarded<void>([&] {
    check_encodable(*this);
    detail::write_message(output, detail::plan_report(*this),
                          [this](capnp::MessageBuilder& message) { detail::put_report(message, *this); });
  });
}

std::expected<ProfileReport, PackageError> ProfileReport::read(std::span<const std::uint8_t> input) {
  return detail::guarded<ProfileReport>([&] { return decode(input); });
}

}  // namespace vorn_package
