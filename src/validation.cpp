// The consistency rules of an application. They run in a fixed order and the
// first broken rule decides the message, so the order below is behaviour.

#include <algorithm>
#include <string_view>
#include <functional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include <vorn_package/vorn_package.hpp>

namespace vorn_package {
namespace {

using Result = std::expected<void, PackageError>;

// Open-addressing hash map for the membership tests: one allocation per
// collection instead of one per element, which is what validation of
// device-scale packages spends its time on otherwise.
template <class Key, class Value = char>
class FlatMap {
 public:
  explicit FlatMap(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    slots_.resize(capacity);
    mask_ = capacity - 1;
  }
  // Inserts key -> value unless the key is present; true when inserted.
  bool insert(const Key& key, const Value& value = {}) {
    Slot& slot = probe(key);
    if (slot.used) return false;
    slot = Slot{key, value, true};
    if (++size_ * 2 > slots_.size()) grow();
    return true;
  }
  const Value* find(const Key& key) const {
    const Slot& slot = const_cast<FlatMap*>(this)->probe(key);
    return slot.used ? &slot.value : nullptr;
  }
  bool contains(const Key& key) const { return find(key) != nullptr; }
  std::size_t size() const { return size_; }

 private:
  struct Slot {
    Key key{};
    Value value{};
    bool used = false;
  };
  static std::size_t hash(std::uint32_t key) { return (key * 0x9E3779B97F4A7C15ull) >> 17; }
  static std::size_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }
  Slot& probe(const Key& key) {
    for (std::size_t i = hash(key) & mask_;; i = (i + 1) & mask_) {
      if (!slots_[i].used || slots_[i].key == key) return slots_[i];
    }
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.used) probe(slot.key) = slot;
    }
  }
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

using TileSet = FlatMap<std::uint32_t>;

std::unexpected<PackageError> fail(std::string message) {
  return std::unexpected(PackageError::invalid(std::move(message)));
}

// A range [start, end) lies in the tile memory window; an empty range may sit
// on either edge.
bool in_window(std::uint32_t start, std::uint32_t end) {
  return start >= kTileMemoryBase && end <= kTileMemoryEnd;
}

Result check_device_config_writes(const Application& app) {
  FlatMap<std::uint32_t> offsets(app.device_config_writes.size());
  for (const DeviceConfigWrite& write : app.device_config_writes) {
    if ((write.offset & 3u) != 0 || !offsets.insert(write.offset)) {
      return fail("unaligned or duplicate device configuration write");
    }
  }
  return {};
}

Result check_tiles(const Application& app, TileSet& tiles) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;  // reused per tile
  for (const TileImage& tile : app.tiles) {
    if (!tiles.insert(tile.physical_tile)) {
      return fail(fmt::format("duplicate physical tile {}", tile.physical_tile));
    }
    ranges.clear();
    for (const Segment& segment : tile.segments) {
      std::uint32_t end;
      if (__builtin_add_overflow(segment.address, segment.memory_size, &end)) {
        return fail("segment address overflow");
      }
      if (!in_window(segment.address, end) || segment.data.size() > segment.memory_size) {
        return fail(fmt::format("invalid segment on tile {}: address=0x{:x} end=0x{:x} memory_size={} data_size={}",
                                tile.physical_tile, segment.address, end, segment.memory_size,
                                segment.data.size()));
      }
      if (segment.memory_size != 0) ranges.emplace_back(segment.address, end);
    }
    // Sorted by start (then end), any overlap shows up between neighbours.
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i) {
      const auto& first = ranges[i - 1];
      const auto& second = ranges[i];
      if (first.second > second.first) {
        return fail(fmt::format("overlapping segments on tile {}: 0x{:x}..0x{:x} and 0x{:x}..0x{:x}",
                                tile.physical_tile, first.first, first.second, second.first, second.second));
      }
    }
  }
  return {};
}

Result check_profile_plans(const Application& app, const TileSet& tiles) {
  FlatMap<std::uint32_t> planned(app.profile_tiles.size());
  for (const TileProfilePlan& plan : app.profile_tiles) {
    bool ok = tiles.contains(plan.physical_tile) && planned.insert(plan.physical_tile);
    for (std::size_t i = 0; ok && i < plan.steps.size(); ++i) ok = plan.steps[i].local_index == i;
    if (!ok) return fail("invalid tile profile plan");
  }
  return {};
}

Result check_debug_map(const Application& app, const TileSet& tiles) {
  for (const DebugSymbol& symbol : app.debug_symbols) {
    if (symbol.name.empty()) return fail("invalid package debug map");
  }
  for (const DebugRegion& region : app.debug_regions) {
    std::uint32_t end;
    bool whole_device = region.physical_tile == 0xFFFFFFFFu;
    if (region.name.empty() || region.size == 0 || __builtin_add_overflow(region.address, region.size, &end) ||
        (!whole_device && !tiles.contains(region.physical_tile))) {
      return fail("invalid package debug map");
    }
  }
  return {};
}

Result check_bindings(const Application& app, const TileSet& tiles) {
  FlatMap<std::string_view> names(app.inputs.size() + app.outputs.size() + app.weights.size());
  for (const auto* list : {&app.inputs, &app.outputs, &app.weights}) {
    for (const Binding& binding : *list) {
      if (binding.name.empty() || !names.insert(binding.name)) {
        return fail(fmt::format("empty or duplicate binding {}", binding.name));
      }
      for (const RegionSlice& slice : binding.slices) {
        if (slice.size > 0xFFFFFFFFu) return fail(fmt::format("binding {} slice is too large", binding.name));
        std::uint32_t end;
        if (__builtin_add_overflow(slice.tile_address, static_cast<std::uint32_t>(slice.size), &end)) {
          return fail("binding address overflow");
        }
        if (!tiles.contains(slice.tile) || !in_window(slice.tile_address, end)) {
          return fail(fmt::format("binding {} references invalid tile memory", binding.name));
        }
      }
    }
  }
  return {};
}

// offset + size <= page size, where a sum past 64 bits lies beyond any page.
bool fits_page(std::uint64_t offset, std::uint64_t size, std::uint64_t page_size) {
  std::uint64_t end;
  return !__builtin_add_overflow(offset, size, &end) && end <= page_size;
}

Result check_host_exchange(const HostExchange& exchange) {
  FlatMap<std::uint32_t, std::uint64_t> pages(exchange.pages.size());
  for (const HostPage& page : exchange.pages) pages.insert(page.index, page.size);
  if (pages.size() != exchange.pages.size()) return fail("invalid host page table");
  for (std::uint32_t index : exchange.attach_order) {
    if (!pages.contains(index)) return fail("invalid host page table");
  }

  if (!exchange.calls.empty()) {
    const std::uint64_t* command = pages.find(exchange.command_page);
    if (!command || !fits_page(exchange.command_offset, 4, *command)) {
      return fail("invalid host startup protocol");
    }
  }

  for (const HostCall& call : exchange.calls) {
    if (call.invocations == 0) return fail(fmt::format("host call {} has no invocations", call.name));
    if (auto r = validate_host_batch_ends(call, "input", call.input_batch_ends, call.inputs.size()); !r) return r;
    if (auto r = validate_host_batch_ends(call, "output", call.output_batch_ends, call.outputs.size()); !r) {
      return r;
    }
    for (const auto* slices : {&call.inputs, &call.outputs}) {
      for (const HostSlice& slice : *slices) {
        const std::uint64_t* page_size = pages.find(slice.page);
        if (!page_size) return fail(fmt::format("host call {} references missing page", call.name));
        if (!fits_page(slice.page_offset, slice.size, *page_size)) {
          return fail(fmt::format("host call {} exceeds page bounds", call.name));
        }
      }
    }
  }
  return {};
}

}  // namespace

std::expected<void, PackageError> validate_host_batch_ends(const HostCall& call, std::string_view direction,
                                                           std::span<const std::uint32_t> batch_ends,
                                                           std::size_t slice_count) {
  std::size_t previous = 0;
  for (std::uint32_t end : batch_ends) {
    if (end <= previous || end > slice_count) {
      return fail(fmt::format("host call {} has invalid {} batch boundary {}", call.name, direction, end));
    }
    previous = end;
  }
  if (previous != slice_count) {
    return fail(fmt::format("host call {} {} batches cover {} of {} slices", call.name, direction, previous,
                            slice_count));
  }
  return {};
}

std::expected<void, PackageError> Application::validate() const {
  if (tiles.empty()) return fail("application has no tiles");
  if (auto r = check_device_config_writes(*this); !r) return r;
  TileSet tile_set(tiles.size());
  if (auto r = check_tiles(*this, tile_set); !r) return r;
  if (auto r = check_profile_plans(*this, tile_set); !r) return r;
  if (auto r = check_debug_map(*this, tile_set); !r) return r;
  if (auto r = check_bindings(*this, tile_set); !r) return r;
  return check_host_exchange(host_exchange);
}

}  // namespace vorn_package
