#include <functional>

#include <gtest/gtest.h>

#include "fixtures.hpp"

using namespace vorn_package;

namespace {

Segment seg(std::uint32_t address, std::uint32_t memory_size, std::size_t data_size = 0) {
  return Segment{.address = address, .memory_size = memory_size, .data = std::vector<std::uint8_t>(data_size, 7)};
}

Binding binding(std::string name, std::vector<RegionSlice> slices = {}) {
  return Binding{.name = std::move(name), .dtype = "u8", .shape = {}, .slices = std::move(slices)};
}

HostCall call(std::string name = "c") { return HostCall{.name = std::move(name), .invocations = 1}; }

// Pages 0 (4096 bytes) and 1 (8192 bytes), command word at offset 0 of page 0.
void with_host_pages(Application& app) {
  app.host_exchange.pages = {HostPage{0, 4096}, HostPage{1, 8192}};
  app.host_exchange.command_page = 0;
}

struct Case {
  const char* what;
  std::function<void(Application&)> edit;  // applied to the sample
  const char* message;                     // nullptr: must pass
};

const Case kCases[] = {
    // Tiles present, whatever else is wrong.
    {"no tiles", [](Application& a) { a.tiles.clear(); a.device_config_writes = {{2, 0}}; }, "application has no tiles"},
    // Device configuration writes.
    {"offset twice", [](Application& a) { a.device_config_writes = {{4, 1}, {4, 2}}; },
     "unaligned or duplicate device configuration write"},
    {"unaligned offset", [](Application& a) { a.device_config_writes = {{2, 0}}; },
     "unaligned or duplicate device configuration write"},
    {"offsets 0 and 4", [](Application& a) { a.device_config_writes = {{0, 1}, {4, 1}}; }, nullptr},
    {"config before tiles",
     [](Application& a) { a.tiles.push_back(a.tiles[0]); a.device_config_writes = {{1, 0}}; },
     "unaligned or duplicate device configuration write"},
    // Tiles and segments.
    {"duplicate tile wins over its faulty segments",
     [](Application& a) {
       a.tiles = {TileImage{.physical_tile = 7}, TileImage{.physical_tile = 7, .segments = {seg(0, 1)}}};
     },
     "duplicate physical tile 7"},
    {"segment fills the window", [](Application& a) { a.tiles[0].segments = {seg(0x4c000, 0x9c000)}; }, nullptr},
    {"segment below the window", [](Application& a) { a.tiles[0].segments = {seg(0x4bfff, 8, 4)}; },
     "invalid segment on tile 0: address=0x4bfff end=0x4c007 memory_size=8 data_size=4"},
    {"data longer than memory", [](Application& a) { a.tiles[0].segments = {seg(0x4c000, 8, 9)}; },
     "invalid segment on tile 0: address=0x4c000 end=0x4c008 memory_size=8 data_size=9"},
    {"segment one byte past the window", [](Application& a) { a.tiles[0].segments = {seg(0xe7ff8, 9)}; },
     "invalid segment on tile 0: address=0xe7ff8 end=0xe8001 memory_size=9 data_size=0"},
    {"empty segment on the window's end", [](Application& a) { a.tiles[0].segments.push_back(seg(0xe8000, 0)); },
     nullptr},
    {"empty segment below the window", [](Application& a) { a.tiles[0].segments.push_back(seg(0x4bfff, 0)); },
     "invalid segment on tile 0: address=0x4bfff end=0x4bfff memory_size=0 data_size=0"},
    {"segment end past 32 bits", [](Application& a) { a.tiles[0].segments = {seg(0xfffffff0, 0x20)}; },
     "segment address overflow"},
    {"same segment twice", [](Application& a) { a.tiles[0].segments.push_back(a.tiles[0].segments[0]); },
     "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c000..0x4c008"},
    {"touching segments", [](Application& a) { a.tiles[0].segments = {seg(0x4c010, 16), seg(0x4c000, 16)}; },
     nullptr},
    {"empty segment inside another", [](Application& a) { a.tiles[0].segments.push_back(seg(0x4c004, 0)); },
     nullptr},
    {"one segment holds two others",
     [](Application& a) {
       a.tiles[0].physical_tile = 9;
       a.tiles[0].segments = {seg(0x4c180, 16), seg(0x4c000, 0x200), seg(0x4c100, 16)};
     },
     "overlapping segments on tile 9: 0x4c000..0x4c200 and 0x4c100..0x4c110"},
    {"tile without segments", [](Application& a) { a.tiles[0].segments.clear(); }, nullptr},
    {"second tile's segments checked after the first passes",
     [](Application& a) { a.tiles.push_back(TileImage{.physical_tile = 1, .segments = {seg(0, 1)}}); },
     "invalid segment on tile 1: address=0x0 end=0x1 memory_size=1 data_size=0"},
    // Profiling plans.
    {"plan for unknown tile", [](Application& a) { a.profile_tiles = {{5, {}}}; }, "invalid tile profile plan"},
    {"two plans for one tile", [](Application& a) { a.profile_tiles = {{0, {}}, {0, {}}}; },
     "invalid tile profile plan"},
    {"step index off by one", [](Application& a) { a.profile_tiles = {{0, {ProfileStep{.local_index = 1}}}}; },
     "invalid tile profile plan"},
    {"plan before debug map",
     [](Application& a) { a.profile_tiles = {{5, {}}}; a.debug_symbols = {{"", 0}}; }, "invalid tile profile plan"},
    // Debug map.
    {"whole-device region", [](Application& a) { a.debug_regions = {{0xFFFFFFFF, 0x4c000, 8, "r"}}; }, nullptr},
    {"region of size 0", [](Application& a) { a.debug_regions = {{0xFFFFFFFF, 0x4c000, 0, "r"}}; },
     "invalid package debug map"},
    {"region without name", [](Application& a) { a.debug_regions = {{0, 0x4c000, 8, ""}}; },
     "invalid package debug map"},
    {"region end past 32 bits", [](Application& a) { a.debug_regions = {{0, 0xFFFFFFF0, 0x11, "r"}}; },
     "invalid package debug map"},
    {"region on unknown tile", [](Application& a) { a.debug_regions = {{4, 0, 1, "r"}}; },
     "invalid package debug map"},
    {"symbol without name", [](Application& a) { a.debug_symbols = {{"", 0}}; }, "invalid package debug map"},
    {"debug map before bindings",
     [](Application& a) { a.debug_symbols = {{"", 0}}; a.inputs = {binding("")}; }, "invalid package debug map"},
    // Bindings.
    {"binding without name", [](Application& a) { a.outputs = {binding("")}; }, "empty or duplicate binding "},
    {"input and weight share a name", [](Application& a) { a.inputs = {binding("x")}; a.weights = {binding("x")}; },
     "empty or duplicate binding x"},
    {"slice of 2^32 bytes",
     [](Application& a) { a.inputs = {binding("b", {{0, 0x4c000, 0, 0x100000000}})}; },
     "binding b slice is too large"},
    {"slice end past 32 bits", [](Application& a) { a.inputs = {binding("b", {{0, 0xfffffff0, 0, 0x20}})}; },
     "binding address overflow"},
    {"slice on unknown tile", [](Application& a) { a.inputs = {binding("b", {{1, 0x4c000, 0, 4}})}; },
     "binding b references invalid tile memory"},
    {"slice 8 bytes past the window", [](Application& a) { a.inputs = {binding("b", {{0, 0xe7ff8, 0, 16}})}; },
     "binding b references invalid tile memory"},
    {"empty slice on the window's end", [](Application& a) { a.inputs = {binding("b", {{0, 0xe8000, 0, 0}})}; },
     nullptr},
    {"bindings before host exchange",
     [](Application& a) { a.weights = {binding("")}; a.host_exchange.pages = {{1, 1}, {1, 1}}; },
     "empty or duplicate binding "},
    // Host exchange: page table.
    {"two pages with index 1", [](Application& a) { a.host_exchange.pages = {{1, 1}, {1, 2}}; },
     "invalid host page table"},
    {"attach order names a missing page",
     [](Application& a) { with_host_pages(a); a.host_exchange.attach_order = {0, 2}; }, "invalid host page table"},
    {"attach order names a page twice",
     [](Application& a) { with_host_pages(a); a.host_exchange.attach_order = {0, 0}; }, nullptr},
    // Startup protocol.
    {"command page missing",
     [](Application& a) { with_host_pages(a); a.host_exchange.command_page = 5; a.host_exchange.calls = {call()}; },
     "invalid host startup protocol"},
    {"command word ends on the page's end",
     [](Application& a) { with_host_pages(a); a.host_exchange.command_offset = 4092; a.host_exchange.calls = {call()}; },
     nullptr},
    {"command word one byte past the page",
     [](Application& a) { with_host_pages(a); a.host_exchange.command_offset = 4093; a.host_exchange.calls = {call()}; },
     "invalid host startup protocol"},
    {"command word offset wraps",
     [](Application& a) {
       with_host_pages(a);
       a.host_exchange.command_offset = 0xFFFFFFFFFFFFFFFE;
       a.host_exchange.calls = {call()};
     },
     "invalid host startup protocol"},
    {"no calls: command word not examined",
     [](Application& a) { a.host_exchange.command_page = 9; a.host_exchange.command_offset = UINT64_MAX; }, nullptr},
    // Host calls.
    {"no invocations wins over bad boundaries",
     [](Application& a) {
       with_host_pages(a);
       HostCall c = call();
       c.invocations = 0;
       c.input_batch_ends = {0};
       a.host_exchange.calls = {c};
     },
     "host call c has no invocations"},
    {"input boundaries before output boundaries and slices",
     [](Application& a) {
       with_host_pages(a);
       HostCall c = call();
       c.inputs = {{9, 0, 0, 1}};
       c.outputs = {{1, 0, 0, 1}};
       a.host_exchange.calls = {c};
     },
     "host call c input batches cover 0 of 1 slices"},
    {"output boundaries before slices",
     [](Application& a) {
       with_host_pages(a);
       HostCall c = call();
       c.inputs = {{9, 0, 0, 1}};
       c.input_batch_ends = {1};
       c.outputs = {{1, 0, 0, 1}};
       c.output_batch_ends = {2};
       a.host_exchange.calls = {c};
     },
     "host call c has invalid output batch boundary 2"},
    {"slice on missing page",
     [](Application& a) {
       with_host_pages(a);
       HostCall c = call();
       c.inputs = {{9, 0, 0, 1}};
       c.input_batch_ends = {1};
       a.host_exchange.calls = {c};
     },
     "host call c references missing page"},
    {"slices inside and on the end of a page",
     [](Application& a) {
       with_host_pages(a);
       HostCall c = call();
       c.outputs = {{1, 4096, 0, 16}, {1, 8176, 0, 16}};
       c.output_batch_ends = {2};
       a.host_exchange.calls = {c};
     },
     nullptr},
    {"slice past its page",
     [](Application& a) {
       with_host_pages(a);
       HostCall c = call();
       c.outputs = {{1, 8180, 0, 16}};
       c.output_batch_ends = {1};
       a.host_exchange.calls = {c};
     },
     "host call c exceeds page bounds"},
    {"slice end past 64 bits",
     [](Application& a) {
       with_host_pages(a);
       HostCall c = call();
       c.outputs = {{1, 0xFFFFFFFFFFFFFFF0, 0, 0x20}};
       c.output_batch_ends = {1};
       a.host_exchange.calls = {c};
     },
     "host call c exceeds page bounds"},
    {"batched exchange",
     [](Application& a) {
       with_host_pages(a);
       a.host_exchange.attach_order = {0, 1};
       HostCall c = call("batched");
       c.inputs = {{1, 0, 0, 16}, {1, 4096, 0, 16}};
       c.input_batch_ends = {2};
       c.outputs = {{1, 0, 0, 32}};
       c.output_batch_ends = {1};
       a.host_exchange.calls = {c};
     },
     nullptr},
};

TEST(Validate, RulesInOrderWithExactMessages) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Application app = fixtures::sample();
    c.edit(app);
    auto result = app.validate();
    if (c.message == nullptr) {
      EXPECT_TRUE(result.has_value()) << result.error();
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), PackageError::invalid(c.message));
    }
  }
}

TEST(Validate, RichApplicationPasses) {
  auto result = fixtures::rich().validate();
  EXPECT_TRUE(result.has_value()) << result.error();
}

TEST(ValidateHostBatchEnds, Table) {
  struct BatchCase {
    const char* call;
    const char* direction;
    std::vector<std::uint32_t> ends;
    std::size_t count;
    const char* message;  // nullptr: passes
  };
  const BatchCase cases[] = {
      {"explicit-batches", "input", {}, 1, "host call explicit-batches input batches cover 0 of 1 slices"},
      {"explicit-batches", "output", {}, 1, "host call explicit-batches output batches cover 0 of 1 slices"},
      {"explicit-batches", "input", {}, 0, nullptr},
      {"c", "input", {2, 3}, 3, nullptr},
      {"c", "input", {3}, 3, nullptr},
      {"c", "input", {0, 3}, 3, "host call c has invalid input batch boundary 0"},
      {"c", "input", {2, 2, 3}, 3, "host call c has invalid input batch boundary 2"},
      {"c", "input", {2, 1}, 3, "host call c has invalid input batch boundary 1"},
      {"c", "input", {2, 4}, 3, "host call c has invalid input batch boundary 4"},
      {"c", "input", {2}, 3, "host call c input batches cover 2 of 3 slices"},
      {"c", "input", {1}, 0, "host call c has invalid input batch boundary 1"},
      {"", "output", {}, 2, "host call  output batches cover 0 of 2 slices"},
  };
  for (const BatchCase& c : cases) {
    HostCall hc = call(c.call);
    auto result = validate_host_batch_ends(hc, c.direction, c.ends, c.count);
    SCOPED_TRACE(testing::PrintToString(c.ends) + " of " + std::to_string(c.count));
    if (c.message == nullptr) {
      EXPECT_TRUE(result.has_value()) << result.error();
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), PackageError::invalid(c.message));
    }
  }
}

}  // namespace
