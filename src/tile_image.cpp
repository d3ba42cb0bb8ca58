// Rebuilds the flat load image of one tile from its segments.

#include <algorithm>
#include <cstring>
#include <numeric>

#include <fmt/format.h>

#include <vorn_package/vorn_package.hpp>

namespace vorn_package {

std::expected<std::vector<std::uint8_t>, PackageError> Application::tile_image(std::uint32_t physical_tile) const {
  auto tile = std::find_if(tiles.begin(), tiles.end(),
                           [&](const TileImage& t) { return t.physical_tile == physical_tile; });
  if (tile == tiles.end()) return std::unexpected(PackageError::invalid(fmt::format("unknown tile {}", physical_tile)));
  const std::vector<Segment>& segments = tile->segments;
  if (segments.empty()) return std::unexpected(PackageError::invalid("tile has no loadable segments"));

  std::uint32_t load_base = UINT32_MAX;
  for (const Segment& s : segments) load_base = std::min(load_base, s.address);

  // Validation guarantees what follows; an application that skipped it gets
  // an error instead of an image written out of bounds.
  std::uint32_t length = 0;
  for (const Segment& s : segments) {
    std::uint32_t end;
    if (__builtin_add_overflow(s.address - load_base, s.memory_size, &end)) {
      return std::unexpected(PackageError::invalid(fmt::format(
          "segment at 0x{:x} on tile {} extends past the 32-bit address space", s.address, physical_tile)));
    }
    if (s.data.size() > s.memory_size) {
      return std::unexpected(PackageError::invalid(
          fmt::format("segment at 0x{:x} on tile {} holds {} data bytes but has memory size {}", s.address,
                      physical_tile, s.data.size(), s.memory_size)));
    }
    length = std::max(length, end);
  }

  // Segments in address order; when their memory does not overlap (always so
  // after validation) the image is written once, front to back, with no
  // zero-fill under the data.
  std::vector<std::uint32_t> order(segments.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return segments[a].address < segments[b].address; });
  bool disjoint = true;
  std::uint64_t sized_end = 0;  // end of the sized segments placed so far
  for (std::uint32_t i : order) {
    const Segment& s = segments[i];
    if (s.memory_size == 0) continue;
    std::uint64_t offset = s.address - load_base;
    if (offset < sized_end) {
      disjoint = false;
      break;
    }
    sized_end = offset + s.memory_size;
  }

  std::vector<std::uint8_t> image;
  if (disjoint) {
    image.reserve(length);
  } else {
    image.resize(length);
  }

  if (log::enabled(log::Level::Trace)) {
    std::string base_text = fmt::format("0x{:x}", load_base);
    const log::Field fields[] = {{"physical_tile", std::uint64_t{physical_tile}},
                                 {"load_base", std::string_view(base_text)},
                                 {"image_bytes", std::uint64_t{length}}};
    log::emit(log::Level::Trace, "reconstructing tile image", fields);
  }

  if (disjoint) {
    for (std::uint32_t i : order) {
      const Segment& s = segments[i];
      std::size_t offset = s.address - load_base;
      if (s.data.empty()) continue;
      if (offset > image.size()) image.resize(offset);  // zero gap
      image.insert(image.end(), s.data.begin(), s.data.end());
    }
    image.resize(length);
  } else {
    // List order decides where memory overlaps, as if each segment were
    // loaded in turn.
    for (const Segment& s : segments) {
      if (!s.data.empty()) std::memcpy(image.data() + (s.address - load_base), s.data.data(), s.data.size());
    }
  }
  return image;
}

}  // namespace vorn_package
