// Known-good inputs that the tests edit into faulty ones.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <capnp/any.h>
#include <capnp/serialize.h>

#include <vorn_package/vorn_package.hpp>

namespace fixtures {

using namespace vorn_package;

// One tile with one 4-byte segment: the smallest valid package.
inline Application sample() {
  Application app;
  app.tiles.push_back(TileImage{.physical_tile = 0,
                                .entry_point = 0x4c000,
                                .command_address = 0x4c100,
                                .diagnostic_address = 0x4c200,
                                .segments = {Segment{.address = 0x4c000, .memory_size = 8, .data = {1, 2, 3, 4}, .flags = 5}}});
  return app;
}

// A valid application that sets every field of every record, with values at
// their extremes, multi-byte texts, and empty texts and lists in places.
inline Application rich() {
  Application app;
  app.compiler_version = "vornc 2.0 \xce\xbb\xe2\x86\x92\xf0\x9f\x9a\x80";  // λ→🚀
  app.tiles = {
      TileImage{.physical_tile = 0xFFFFFFFE,
                .entry_point = 0xFFFFFFFF,
                .command_address = 0x4c100,
                .diagnostic_address = 0,
                .segments = {Segment{.address = 0x4c000, .memory_size = 0x10, .data = {0xff, 0, 0x80}, .flags = 0xFFFFFFFF},
                             Segment{.address = 0x4c010, .memory_size = 0, .data = {}, .flags = 0},
                             Segment{.address = 0xe7ff0, .memory_size = 0x10, .data = std::vector<std::uint8_t>(16, 0xab), .flags = 1}}},
      TileImage{.physical_tile = 3, .entry_point = 1, .command_address = 2, .diagnostic_address = 3, .segments = {}},
  };
  app.inputs = {Binding{.name = "in", .dtype = "f32", .shape = {1, 0xFFFFFFFF},
                        .slices = {RegionSlice{.tile = 3, .tile_address = 0x4c000, .file_offset = UINT64_MAX, .size = 0x9c000}}}};
  app.outputs = {Binding{.name = "out", .dtype = "", .shape = {}, .slices = {}},
                 Binding{.name = "\xc3\xa9t\xc3\xa9", .dtype = "u8", .shape = {7},
                         .slices = {RegionSlice{.tile = 0xFFFFFFFE, .tile_address = 0xe8000, .file_offset = 0, .size = 0},
                                    RegionSlice{.tile = 3, .tile_address = 0x4c005, .file_offset = 5, .size = 0x9bffb}}}};
  app.weights = {Binding{.name = "w", .dtype = "bf16", .shape = {2, 2}, .slices = {}}};
  app.host_exchange = HostExchange{
      .startup_mark = 0xFFFFFFFF,
      .command_page = 7,
      .command_offset = 4092,
      .pages = {HostPage{.index = 7, .size = 4096}, HostPage{.index = 0xFFFFFFFF, .size = UINT64_MAX}},
      .attach_order = {0xFFFFFFFF, 7, 7},
      .calls = {HostCall{.name = "",
                         .command = 0xFFFFFFFF,
                         .phases = 3,
                         .inputs = {HostSlice{.page = 0xFFFFFFFF, .page_offset = UINT64_MAX - 1, .file_offset = UINT64_MAX, .size = 1}},
                         .outputs = {},
                         .invocations = 0xFFFFFFFF,
                         .input_batch_ends = {1},
                         .output_batch_ends = {}},
                HostCall{.name = "second",
                         .command = 0,
                         .phases = 0,
                         .inputs = {},
                         .outputs = {HostSlice{.page = 7, .page_offset = 0, .file_offset = 9, .size = 4096},
                                     HostSlice{.page = 7, .page_offset = 8, .file_offset = 0, .size = 8}},
                         .invocations = 1,
                         .input_batch_ends = {},
                         .output_batch_ends = {1, 2}}}};
  app.entry_points = {EntryPoint{.name = "main", .command = 0xFFFFFFFF, .external_syncs = 2},
                      EntryPoint{.name = "", .command = 0, .external_syncs = 0}};
  app.device_config_writes = {DeviceConfigWrite{.offset = 0, .value = 0xFFFFFFFF},
                              DeviceConfigWrite{.offset = 0xFFFFFFFC, .value = 0}};
  app.profile_tiles = {
      TileProfilePlan{.physical_tile = 3, .steps = {}},
      TileProfilePlan{
          .physical_tile = 0xFFFFFFFE,
          .steps = {ProfileStep{.local_index = 0, .phase = 0xFFFFFFFF, .epoch = 0xFFFFFFFF, .operation = "op \xe2\x88\x91",
                                .kind = ProfileStepKind::Idle, .kernel = "",
                                .metadata = {ProfileMetadata{"k", "v"}, ProfileMetadata{"", ""}},
                                .exchange_activities = {{ProfileExchangeActivityKind::PartnerBusy, 0xFFFFFFFF, 0},
                                                        {ProfileExchangeActivityKind::Send, 1, 2}},
                                .exchange_event_cycles = 0xFFFFFFFF},
                    ProfileStep{.local_index = 1, .kind = ProfileStepKind::Synchronization, .kernel = "k"}}}};
  app.debug_symbols = {DebugSymbol{.name = "sym", .address = 0xFFFFFFFF}};
  app.debug_regions = {DebugRegion{.physical_tile = 0xFFFFFFFF, .address = 0, .size = 0xFFFFFFFF, .name = "all"},
                       DebugRegion{.physical_tile = 3, .address = 0x10, .size = 1, .name = "r"}};
  return app;
}

// Makes the first pointer of every element of `list` (a struct list read
// from the single-segment message `words`) point where element 0's does:
// one object shared by all elements, which no writer produces and a naive
// reader copies once per reference.
template <class ListReader>
void share_first_pointer(kj::Array<capnp::word>& words, const ListReader& list) {
  auto position = [&](unsigned i) {  // the word after the element's data section
    auto data = capnp::AnyStruct::Reader(list[i]).getDataSection();
    return static_cast<std::int64_t>(reinterpret_cast<const capnp::word*>(data.end()) - words.begin());
  };
  auto* raw = reinterpret_cast<std::uint64_t*>(words.begin());
  const std::int64_t first = position(0);
  const std::int64_t target = first + 1 + (static_cast<std::int32_t>(raw[first]) >> 2);
  for (unsigned i = 1; i < list.size(); ++i) {
    const std::int64_t at = position(i);
    const std::int64_t offset = target - at - 1;
    raw[at] = (raw[first] & 0xFFFFFFFF00000003ull) | static_cast<std::uint32_t>(offset << 2);
  }
}

// Captures the events of the library while alive.
class EventLog {
 public:
  struct Record {
    log::Level level;
    std::string target;
    std::string message;
    std::vector<std::pair<std::string, std::string>> fields;  // values as text
  };

  explicit EventLog(log::Level min_level = log::Level::Trace) {
    log::set_sink(
        [this](const log::Event& e) {
          Record r{e.level, std::string(e.target), std::string(e.message), {}};
          for (const log::Field& f : e.fields) {
            std::string value = std::holds_alternative<std::uint64_t>(f.value)
                                    ? std::to_string(std::get<std::uint64_t>(f.value))
                                    : std::string(std::get<std::string_view>(f.value));
            r.fields.emplace_back(std::string(f.name), value);
          }
          std::lock_guard lock(mutex_);
          records_.push_back(std::move(r));
        },
        min_level);
  }
  ~EventLog() { log::set_sink(nullptr); }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  std::vector<Record> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const Record& r : records()) out.push_back(r.message);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace fixtures
