// Profile synthesis: an application built deterministically from the first
// part of the input, and the rest as runtime output. The result must be a
// report that matches the plans, or an Invalid error; nothing else.
#include <cstdlib>
#include <cstring>

#include <vorn_package/vorn_package.hpp>

namespace {

// Reads numbers from the front of the input; zero once it runs out.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  template <class T>
  T take() {
    T value{};
    std::size_t n = std::min(sizeof(T), size_ - pos_);
    std::memcpy(&value, data_ + pos_, n);
    pos_ += n;
    return value;
  }
  // Offsets and sizes: mostly small, sometimes anything.
  std::uint64_t offset() {
    std::uint8_t mode = take<std::uint8_t>();
    if (mode < 200) return mode % 64;
    if (mode < 250) return take<std::uint16_t>();
    return take<std::uint64_t>();
  }
  std::span<const std::uint8_t> rest() const { return {data_ + pos_, size_ - pos_}; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorn_package;
  Reader in(data, size);
  Application app;
  const unsigned outputs = in.take<std::uint8_t>() % 5;
  for (unsigned o = 0; o < outputs; ++o) {
    std::uint8_t kind = in.take<std::uint8_t>();
    Binding binding{.name = kind % 3 == 0 ? "profile.cycles" : "out" + std::to_string(o)};
    const unsigned slices = in.take<std::uint8_t>() % 6;
    for (unsigned s = 0; s < slices; ++s) {
      RegionSlice slice;
      slice.tile = in.take<std::uint8_t>() % 8;
      slice.file_offset = in.offset();
      slice.size = in.offset();
      binding.slices.push_back(slice);
    }
    app.outputs.push_back(std::move(binding));
  }
  const unsigned plans = in.take<std::uint8_t>() % 6;
  for (unsigned p = 0; p < plans; ++p) {
    TileProfilePlan plan{.physical_tile = in.take<std::uint8_t>() % 8u};
    const unsigned steps = in.take<std::uint8_t>() % 20;
    for (unsigned s = 0; s < steps; ++s) plan.steps.push_back(ProfileStep{.local_index = s, .operation = "op"});
    app.profile_tiles.push_back(std::move(plan));
  }

  auto report = app.profile_report(in.rest(), 1000);
  if (!report) {
    if (report.error().kind() != PackageError::Kind::Invalid) std::abort();
    return 0;
  }
  if (report->tiles.size() != app.profile_tiles.size()) std::abort();
  for (std::size_t i = 0; i < report->tiles.size(); ++i) {
    const TileProfile& tile = report->tiles[i];
    const TileProfilePlan& plan = app.profile_tiles[i];
    if (tile.physical_tile != plan.physical_tile || tile.samples.size() != plan.steps.size()) std::abort();
    for (std::size_t s = 0; s + 1 < tile.samples.size(); ++s) {
      if (tile.samples[s].end_cycle != tile.samples[s + 1].start_cycle) std::abort();
      if (!(tile.samples[s].step == plan.steps[s])) std::abort();
    }
  }
  return 0;
}
