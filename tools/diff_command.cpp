// diff: what changed between two packages, record by record, each named by
// its identity (tile number, binding name, page index, ...).

#include <iostream>
#include <map>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli.hpp"

namespace cli {
namespace {

using nlohmann::ordered_json;

std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

class Changes {
 public:
  void add(const char* change, std::string what, std::string id, std::vector<std::string> details = {}) {
    list_.push_back({{"change", change}, {"what", what}, {"id", id}, {"details", details}});
    text_ += fmt::format("{} {} {}", change[0] == 'a' ? '+' : change[0] == 'r' ? '-' : '~', what, id);
    if (!details.empty()) text_ += fmt::format(": {}", fmt::join(details, "; "));
    text_ += '\n';
  }
  bool empty() const { return list_.empty(); }
  const ordered_json& json() const { return list_; }
  const std::string& text() const { return text_; }

 private:
  ordered_json list_ = ordered_json::array();
  std::string text_;
};

template <class T>
std::string show(const T& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    return json_string(v);
  } else if constexpr (requires { v.begin(); }) {
    return fmt::format("[{}]", fmt::join(v, ", "));
  } else {
    return fmt::format("{}", v);
  }
}

// Adds "field: old -> new" when they differ.
template <class T>
void field(std::vector<std::string>& details, const char* name, const T& a, const T& b) {
  if (!(a == b)) details.push_back(fmt::format("{}: {} -> {}", name, show(a), show(b)));
}

// Matches two lists by key (first occurrence of a repeated key keeps its
// place; later ones get "#2", "#3" appended) and reports each side.
template <class T, class Key, class Compare>
void match(Changes& changes, const char* what, const std::vector<T>& old_list, const std::vector<T>& new_list, Key key,
           Compare compare) {
  auto index = [&](const std::vector<T>& list) {
    std::map<std::string, const T*> out;
    std::map<std::string, int> seen;
    for (const T& item : list) {
      std::string k = key(item);
      int n = ++seen[k];
      out.emplace(n == 1 ? k : fmt::format("{}#{}", k, n), &item);
    }
    return out;
  };
  auto a = index(old_list), b = index(new_list);
  for (const auto& [k, item] : a) {
    if (!b.contains(k)) changes.add("removed", what, k);
  }
  for (const auto& [k, item] : b) {
    auto old = a.find(k);
    if (old == a.end()) {
      changes.add("added", what, k);
    } else if (!(*old->second == *item)) {
      std::vector<std::string> details;
      compare(details, *old->second, *item);
      changes.add("changed", what, k, details);
    }
  }
}

void compare_segments(Changes& changes, std::uint32_t tile, const std::vector<Segment>& a, const std::vector<Segment>& b) {
  match(changes, "segment", a, b,
        [&](const Segment& s) { return fmt::format("tile {} 0x{:x}", tile, s.address); },
        [](std::vector<std::string>& d, const Segment& x, const Segment& y) {
          field(d, "memory_size", x.memory_size, y.memory_size);
          field(d, "flags", x.flags, y.flags);
          if (x.data != y.data) {
            std::size_t first = 0;
            while (first < x.data.size() && first < y.data.size() && x.data[first] == y.data[first]) ++first;
            d.push_back(fmt::format("data: {} bytes (fnv1a {:016x}) -> {} bytes (fnv1a {:016x}), first difference at offset 0x{:x}",
                                    x.data.size(), fnv1a(x.data), y.data.size(), fnv1a(y.data), first));
          }
        });
}

}  // namespace

int cmd_diff(const std::string& old_path, const std::string& new_path, bool json) {
  Application a = read_package(old_path), b = read_package(new_path);
  Changes changes;
  if (a.compiler_version != b.compiler_version) {
    changes.add("changed", "header", "compiler_version",
                {fmt::format("{} -> {}", json_string(a.compiler_version), json_string(b.compiler_version))});
  }
  match(changes, "tile", a.tiles, b.tiles, [](const TileImage& t) { return std::to_string(t.physical_tile); },
        [](std::vector<std::string>& d, const TileImage& x, const TileImage& y) {
          field(d, "entry_point", x.entry_point, y.entry_point);
          field(d, "command_address", x.command_address, y.command_address);
          field(d, "diagnostic_address", x.diagnostic_address, y.diagnostic_address);
          if (x.segments != y.segments) d.push_back("segments (below)");
        });
  // Segments of the tiles that both packages hold.
  for (const TileImage& old_tile : a.tiles) {
    for (const TileImage& new_tile : b.tiles) {
      if (old_tile.physical_tile == new_tile.physical_tile && old_tile.segments != new_tile.segments) {
        compare_segments(changes, old_tile.physical_tile, old_tile.segments, new_tile.segments);
        break;
      }
    }
  }
  auto compare_binding = [](std::vector<std::string>& d, const Binding& x, const Binding& y) {
    field(d, "dtype", x.dtype, y.dtype);
    field(d, "shape", x.shape, y.shape);
    if (x.slices != y.slices) {
      d.push_back(fmt::format("slices: {} (size {}) -> {} (size {})", x.slices.size(), binding_size(x), y.slices.size(),
                              binding_size(y)));
    }
  };
  auto by_name = [](const Binding& x) { return x.name; };
  match(changes, "input", a.inputs, b.inputs, by_name, compare_binding);
  match(changes, "output", a.outputs, b.outputs, by_name, compare_binding);
  match(changes, "weight", a.weights, b.weights, by_name, compare_binding);

  const HostExchange &ea = a.host_exchange, &eb = b.host_exchange;
  {
    std::vector<std::string> d;
    field(d, "startup_mark", ea.startup_mark, eb.startup_mark);
    field(d, "command_page", ea.command_page, eb.command_page);
    field(d, "command_offset", ea.command_offset, eb.command_offset);
    field(d, "attach_order", ea.attach_order, eb.attach_order);
    if (!d.empty()) changes.add("changed", "host exchange", "protocol", d);
  }
  match(changes, "host page", ea.pages, eb.pages, [](const HostPage& p) { return std::to_string(p.index); },
        [](std::vector<std::string>& d, const HostPage& x, const HostPage& y) { field(d, "size", x.size, y.size); });
  match(changes, "host call", ea.calls, eb.calls, [](const HostCall& c) { return c.name; },
        [](std::vector<std::string>& d, const HostCall& x, const HostCall& y) {
          field(d, "command", x.command, y.command);
          field(d, "phases", x.phases, y.phases);
          field(d, "invocations", x.invocations, y.invocations);
          field(d, "input_batch_ends", x.input_batch_ends, y.input_batch_ends);
          field(d, "output_batch_ends", x.output_batch_ends, y.output_batch_ends);
          if (x.inputs != y.inputs) d.push_back(fmt::format("inputs changed ({} -> {} slices)", x.inputs.size(), y.inputs.size()));
          if (x.outputs != y.outputs) d.push_back(fmt::format("outputs changed ({} -> {} slices)", x.outputs.size(), y.outputs.size()));
        });
  match(changes, "entry point", a.entry_points, b.entry_points, [](const EntryPoint& e) { return e.name; },
        [](std::vector<std::string>& d, const EntryPoint& x, const EntryPoint& y) {
          field(d, "command", x.command, y.command);
          field(d, "external_syncs", x.external_syncs, y.external_syncs);
        });
  match(changes, "config write", a.device_config_writes, b.device_config_writes,
        [](const DeviceConfigWrite& w) { return fmt::format("0x{:x}", w.offset); },
        [](std::vector<std::string>& d, const DeviceConfigWrite& x, const DeviceConfigWrite& y) {
          field(d, "value", x.value, y.value);
        });
  match(changes, "debug symbol", a.debug_symbols, b.debug_symbols, [](const DebugSymbol& s) { return s.name; },
        [](std::vector<std::string>& d, const DebugSymbol& x, const DebugSymbol& y) { field(d, "address", x.address, y.address); });
  match(changes, "debug region", a.debug_regions, b.debug_regions,
        [](const DebugRegion& r) { return fmt::format("{} on {}", r.name, r.physical_tile == 0xFFFFFFFFu ? std::string("device") : "tile " + std::to_string(r.physical_tile)); },
        [](std::vector<std::string>& d, const DebugRegion& x, const DebugRegion& y) {
          field(d, "address", x.address, y.address);
          field(d, "size", x.size, y.size);
        });
  match(changes, "profile plan", a.profile_tiles, b.profile_tiles,
        [](const TileProfilePlan& p) { return "tile " + std::to_string(p.physical_tile); },
        [](std::vector<std::string>& d, const TileProfilePlan& x, const TileProfilePlan& y) {
          field(d, "steps", x.steps.size(), y.steps.size());
          std::size_t changed = 0;
          for (std::size_t i = 0; i < std::min(x.steps.size(), y.steps.size()); ++i) changed += !(x.steps[i] == y.steps[i]);
          if (changed) d.push_back(fmt::format("{} steps changed", changed));
        });

  if (json) {
    ordered_json j = {{"old", old_path}, {"new", new_path}, {"equal", changes.empty()}, {"changes", changes.json()}};
    std::cout << j.dump(2) << '\n';
  } else if (!changes.empty()) {
    std::fwrite(changes.text().data(), 1, changes.text().size(), stdout);
  }
  return changes.empty() ? 0 : 1;
}

}  // namespace cli
