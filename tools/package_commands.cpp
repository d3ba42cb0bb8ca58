// inspect, validate, image, profile, example.

#include <filesystem>
#include <iostream>
#include <random>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli.hpp"

namespace cli {
namespace {

using nlohmann::ordered_json;

std::string hex(std::uint64_t v) { return fmt::format("0x{:x}", v); }

struct Extent {
  bool loadable = false;
  std::uint32_t load_base = 0;
  std::uint64_t image_bytes = 0;
};

// Where a tile's image goes and how large it is, without building it.
Extent extent_of(const TileImage& tile) {
  Extent e;
  if (tile.segments.empty()) return e;
  e.loadable = true;
  e.load_base = UINT32_MAX;
  for (const Segment& s : tile.segments) e.load_base = std::min(e.load_base, s.address);
  for (const Segment& s : tile.segments) {
    e.image_bytes = std::max<std::uint64_t>(e.image_bytes, std::uint64_t{s.address - e.load_base} + s.memory_size);
  }
  return e;
}

std::string shape_text(const std::vector<std::uint32_t>& shape) {
  return fmt::format("[{}]", fmt::join(shape, ", "));
}

ordered_json inspect_json(const Application& app) {
  ordered_json j;
  j["header"] = {{"schema_version", kSchemaVersion},
                 {"target", std::string(kTarget)},
                 {"tile_memory_base", kTileMemoryBase},
                 {"tile_memory_size", kTileMemorySize},
                 {"compiler_version", app.compiler_version}};
  ordered_json tiles = ordered_json::array();
  for (const TileImage& t : app.tiles) {
    Extent e = extent_of(t);
    ordered_json segments = ordered_json::array();
    for (const Segment& s : t.segments) {
      segments.push_back({{"address", s.address}, {"memory_size", s.memory_size}, {"data_size", s.data.size()},
                          {"flags", s.flags}});
    }
    tiles.push_back({{"physical_tile", t.physical_tile},
                     {"segments", segments},
                     {"load_base", e.loadable ? ordered_json(e.load_base) : ordered_json(nullptr)},
                     {"image_bytes", e.image_bytes},
                     {"entry_point", t.entry_point},
                     {"command_address", t.command_address},
                     {"diagnostic_address", t.diagnostic_address}});
  }
  j["tiles"] = tiles;
  ordered_json bindings;
  for (auto [direction, list] : {std::pair{"inputs", &app.inputs}, {"outputs", &app.outputs}, {"weights", &app.weights}}) {
    ordered_json out = ordered_json::array();
    for (const Binding& b : *list) {
      ordered_json slices = ordered_json::array();
      for (const RegionSlice& s : b.slices) {
        slices.push_back({{"tile", s.tile}, {"tile_address", s.tile_address}, {"file_offset", s.file_offset}, {"size", s.size}});
      }
      out.push_back({{"name", b.name}, {"dtype", b.dtype}, {"shape", b.shape}, {"slices", slices},
                     {"binding_size", binding_size(b)}});
    }
    bindings[direction] = out;
  }
  j["bindings"] = bindings;
  const HostExchange& ex = app.host_exchange;
  ordered_json pages = ordered_json::array();
  for (const HostPage& p : ex.pages) pages.push_back({{"index", p.index}, {"size", p.size}});
  ordered_json calls = ordered_json::array();
  for (const HostCall& c : ex.calls) {
    auto slices = [](const std::vector<HostSlice>& list) {
      ordered_json out = ordered_json::array();
      for (const HostSlice& s : list) {
        out.push_back({{"page", s.page}, {"page_offset", s.page_offset}, {"file_offset", s.file_offset}, {"size", s.size}});
      }
      return out;
    };
    calls.push_back({{"name", c.name}, {"command", c.command}, {"phases", c.phases}, {"invocations", c.invocations},
                     {"inputs", slices(c.inputs)}, {"outputs", slices(c.outputs)},
                     {"input_batch_ends", c.input_batch_ends}, {"output_batch_ends", c.output_batch_ends}});
  }
  j["host_exchange"] = {{"startup_mark", ex.startup_mark}, {"command_page", ex.command_page},
                        {"command_offset", ex.command_offset}, {"pages", pages},
                        {"attach_order", ex.attach_order}, {"calls", calls}};
  ordered_json entries = ordered_json::array();
  for (const EntryPoint& e : app.entry_points) {
    entries.push_back({{"name", e.name}, {"command", e.command}, {"external_syncs", e.external_syncs}});
  }
  j["entry_points"] = entries;
  ordered_json writes = ordered_json::array();
  for (const DeviceConfigWrite& w : app.device_config_writes) writes.push_back({{"offset", w.offset}, {"value", w.value}});
  j["device_config_writes"] = writes;
  ordered_json symbols = ordered_json::array();
  for (const DebugSymbol& s : app.debug_symbols) symbols.push_back({{"name", s.name}, {"address", s.address}});
  j["debug_symbols"] = symbols;
  ordered_json regions = ordered_json::array();
  for (const DebugRegion& r : app.debug_regions) {
    regions.push_back({{"physical_tile", r.physical_tile}, {"address", r.address}, {"size", r.size}, {"name", r.name}});
  }
  j["debug_regions"] = regions;
  ordered_json plans = ordered_json::array();
  for (const TileProfilePlan& p : app.profile_tiles) plans.push_back({{"physical_tile", p.physical_tile}, {"steps", p.steps.size()}});
  j["profile_plans"] = plans;
  return j;
}

template <class... Args>
void line(std::string& out, fmt::format_string<Args...> format, Args&&... args) {
  out += fmt::format(format, std::forward<Args>(args)...);
  out += '\n';
}

void inspect_text(const std::string& path, const Application& app) {
  std::string out;
  line(out, "Package: {}", path);
  line(out, "  Schema version:    {}", kSchemaVersion);
  line(out, "  Target:            {}", kTarget);
  line(out, "  Tile memory:       {}..{} ({} bytes)", hex(kTileMemoryBase), hex(kTileMemoryEnd), kTileMemorySize);
  line(out, "  Compiler version:  {}", app.compiler_version);
  line(out, "");
  line(out, "Tiles ({}):", app.tiles.size());
  line(out, "  {:>8} {:>8} {:>10} {:>11} {:>10} {:>10} {:>10}", "Tile", "Segments", "Load base", "Image bytes", "Entry",
       "Command", "Diagnostic");
  for (const TileImage& t : app.tiles) {
    Extent e = extent_of(t);
    line(out, "  {:>8} {:>8} {:>10} {:>11} {:>10} {:>10} {:>10}", t.physical_tile, t.segments.size(),
         e.loadable ? hex(e.load_base) : "-", e.image_bytes, hex(t.entry_point), hex(t.command_address),
         hex(t.diagnostic_address));
  }
  for (auto [direction, list] : {std::pair{"Inputs", &app.inputs}, {"Outputs", &app.outputs}, {"Weights", &app.weights}}) {
    line(out, "");
    line(out, "{} ({}):", direction, list->size());
    if (list->empty()) continue;
    line(out, "  {:<32} {:<8} {:<20} {:>7} {:>14}", "Name", "Dtype", "Shape", "Slices", "Size");
    for (const Binding& b : *list) {
      line(out, "  {:<32} {:<8} {:<20} {:>7} {:>14}", b.name, b.dtype, shape_text(b.shape), b.slices.size(), binding_size(b));
    }
  }
  const HostExchange& ex = app.host_exchange;
  line(out, "");
  line(out, "Host exchange:");
  line(out, "  Startup mark:      {}", ex.startup_mark);
  line(out, "  Command word:      page {} offset {}", ex.command_page, hex(ex.command_offset));
  std::string pages;
  for (const HostPage& p : ex.pages) pages += fmt::format(" {}:{}", p.index, p.size);
  line(out, "  Pages ({}):{}", ex.pages.size(), pages);
  line(out, "  Attach order:      {}", shape_text(ex.attach_order));
  line(out, "  Calls ({}):", ex.calls.size());
  for (const HostCall& c : ex.calls) {
    line(out, "    {:<24} command {} phases {} invocations {}  inputs {} in batches {}  outputs {} in batches {}", c.name,
         c.command, c.phases, c.invocations, c.inputs.size(), shape_text(c.input_batch_ends), c.outputs.size(),
         shape_text(c.output_batch_ends));
  }
  line(out, "");
  line(out, "Entry points ({}):", app.entry_points.size());
  for (const EntryPoint& e : app.entry_points) {
    line(out, "  {:<32} command {} external syncs {}", e.name, e.command, e.external_syncs);
  }
  line(out, "");
  line(out, "Device configuration writes ({}):", app.device_config_writes.size());
  for (const DeviceConfigWrite& w : app.device_config_writes) line(out, "  [{:>8}] = {}", hex(w.offset), hex(w.value));
  line(out, "");
  line(out, "Debug symbols ({}):", app.debug_symbols.size());
  for (const DebugSymbol& s : app.debug_symbols) line(out, "  {:>10}  {}", hex(s.address), s.name);
  line(out, "");
  line(out, "Debug regions ({}):", app.debug_regions.size());
  for (const DebugRegion& r : app.debug_regions) {
    line(out, "  {:>8} {:>10} {:>10}  {}", r.physical_tile == 0xFFFFFFFFu ? std::string("device") : std::to_string(r.physical_tile),
         hex(r.address), r.size, r.name);
  }
  line(out, "");
  std::size_t steps = 0;
  for (const TileProfilePlan& p : app.profile_tiles) steps += p.steps.size();
  line(out, "Profiling plans ({} tiles, {} steps):", app.profile_tiles.size(), steps);
  for (const TileProfilePlan& p : app.profile_tiles) line(out, "  tile {:>8}: {} steps", p.physical_tile, p.steps.size());
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

int cmd_inspect(const std::string& package, bool json) {
  Application app = read_package(package);
  if (json) {
    std::cout << inspect_json(app).dump(2) << '\n';
  } else {
    inspect_text(package, app);
  }
  return 0;
}

int cmd_validate(const std::vector<std::string>& packages) {
  int status = 0;
  for (const std::string& path : packages) {
    try {
      read_package(path);
      fmt::print("{}: ok\n", path);
    } catch (const Failure& f) {
      fmt::print("{}: {}\n", path, f.detail);
      status = std::max(status, f.status);
    }
  }
  return status;
}

int cmd_image(const std::string& package, std::optional<std::uint32_t> tile, bool all, const std::string& out) {
  Application app = read_package(package);
  auto one = [&](const TileImage& t, const std::string& path) {
    auto image = app.tile_image(t.physical_tile);
    if (!image) fail(fmt::format("tile {}", t.physical_tile), image.error());
    write_file(path, *image);
    fmt::print("tile {}: load base {}, {} bytes -> {}\n", t.physical_tile, hex(extent_of(t).load_base), image->size(), path);
  };
  if (all) {
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (ec) fail(kIoError, out, ec.message());
    for (const TileImage& t : app.tiles) {
      if (t.segments.empty()) continue;  // nothing to load
      one(t, (std::filesystem::path(out) / fmt::format("tile-{}-{}.bin", t.physical_tile, hex(extent_of(t).load_base))).string());
    }
    return 0;
  }
  auto found = std::find_if(app.tiles.begin(), app.tiles.end(), [&](const TileImage& t) { return t.physical_tile == *tile; });
  if (found == app.tiles.end()) fail(package, PackageError::invalid(fmt::format("unknown tile {}", *tile)));
  one(*found, out);
  return 0;
}

int cmd_profile(const std::string& package, const std::string& runtime_output, std::uint64_t clock_hz,
                const std::string& out) {
  Application app = read_package(package);
  MappedFile output(runtime_output);
  auto report = app.profile_report(output.bytes(), clock_hz);
  if (!report) fail(runtime_output, report.error());
  std::vector<std::uint8_t> bytes;
  if (auto written = report->write(bytes); !written) fail(out, written.error());
  write_file(out, bytes);
  std::size_t samples = 0;
  for (const TileProfile& t : report->tiles) samples += t.samples.size();
  fmt::print("{}: {} tiles, {} samples at {} Hz\n", out, report->tiles.size(), samples, clock_hz);
  return 0;
}

int cmd_example(const std::string& dir, std::uint32_t tiles, std::uint32_t steps) {
  if (tiles == 0) fail(kIoError, "--tiles", "must be at least 1");
  std::mt19937 random(21);
  Application app;
  app.compiler_version = "vorn-package example";
  const std::uint32_t logits_bytes = 64;
  Binding cycles{.name = "profile.cycles", .dtype = "u32", .shape = {tiles * (steps + 1)}};
  std::vector<std::uint8_t> runtime_output(logits_bytes);
  for (std::uint8_t& b : runtime_output) b = static_cast<std::uint8_t>(random());
  const char* kernels[] = {"gemm_f32_accumulate", "softmax_f32", "layernorm_f16", "exchange_send", "barrier"};
  for (std::uint32_t t = 0; t < tiles; ++t) {
    std::vector<std::uint8_t> code(4096);
    for (std::uint8_t& b : code) b = static_cast<std::uint8_t>(random());
    app.tiles.push_back(TileImage{.physical_tile = t,
                                  .entry_point = 0x4c000,
                                  .command_address = 0x4d000,
                                  .diagnostic_address = 0x4d100,
                                  .segments = {Segment{0x4c000, 4096, code, 5}, Segment{0x4e000, 0x2000, {1, 2, 3, 4}, 6}}});
    TileProfilePlan plan{.physical_tile = t};
    // One tile's counter starts just below 2^32 and wraps during the run.
    std::uint32_t cycle = t == 1 ? 0xffffff00u : static_cast<std::uint32_t>(random() % 100000);
    std::vector<std::uint32_t> counters{cycle};
    for (std::uint32_t i = 0; i < steps; ++i) {
      auto kind = static_cast<ProfileStepKind>(random() % 4);
      ProfileStep step{.local_index = i,
                       .phase = i / 2,
                       .epoch = i / 4,
                       .operation = fmt::format("layer{}.op{}", i / 3, i % 3),
                       .kind = kind,
                       .kernel = kernels[random() % 5],
                       .metadata = {{"reason", "OperatorKernel"}},
                       .exchange_event_cycles = kind == ProfileStepKind::Exchange ? 40u : 0u};
      std::uint32_t duration = 200 + random() % 5000;
      if (kind == ProfileStepKind::Exchange) {
        step.exchange_activities = {{ProfileExchangeActivityKind::Send, 10, duration / 2},
                                    {ProfileExchangeActivityKind::PartnerBusy, duration / 2, duration - 10}};
      }
      plan.steps.push_back(std::move(step));
      cycle += duration;
      counters.push_back(cycle);
    }
    app.profile_tiles.push_back(std::move(plan));
    cycles.slices.push_back(RegionSlice{t, 0x4d200, std::uint64_t{t} * 4 * (steps + 1), 4ull * (steps + 1)});
    for (std::uint32_t c : counters) {
      for (int shift = 0; shift < 32; shift += 8) runtime_output.push_back(static_cast<std::uint8_t>(c >> shift));
    }
  }
  app.inputs = {Binding{.name = "tokens", .dtype = "u32", .shape = {16}, .slices = {{0, 0x4f000, 0, 64}}}};
  app.outputs = {Binding{.name = "logits", .dtype = "u8", .shape = {logits_bytes}, .slices = {{0, 0x4f100, 0, logits_bytes}}},
                 std::move(cycles)};
  app.weights = {Binding{.name = "embedding", .dtype = "f16", .shape = {64, 8}, .slices = {{0, 0x50000, 0, 1024}}}};
  app.host_exchange = HostExchange{
      .startup_mark = 1,
      .command_page = 0,
      .command_offset = 0,
      .pages = {{0, 4096}, {1, (8192 + 4ull * tiles * (steps + 1) + 4095) / 4096 * 4096}},
      .attach_order = {0, 1},
      .calls = {HostCall{.name = "infer", .command = 2, .phases = 2,
                         .inputs = {{1, 0, 0, 64}},
                         .outputs = {{1, 4096, 0, logits_bytes}, {1, 8192, logits_bytes, 4ull * tiles * (steps + 1)}},
                         .invocations = 1, .input_batch_ends = {1}, .output_batch_ends = {1, 2}}}};
  app.entry_points = {EntryPoint{"main", 1, 0}};
  app.device_config_writes = {{0x4018, 0xc000000d}, {0x401c, 1}};
  app.debug_symbols = {{"_start", 0x4c000}, {"main_loop", 0x4c200}};
  app.debug_regions = {{0xFFFFFFFFu, 0x4c000, 0x1000, "code"}, {0, 0x4e000, 0x2000, "data"}};

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) fail(kIoError, dir, ec.message());
  std::vector<std::uint8_t> bytes;
  if (auto written = app.write(bytes); !written) fail("example", written.error());
  const std::string package = (std::filesystem::path(dir) / "app.vpkg").string();
  const std::string output = (std::filesystem::path(dir) / "runtime_output.bin").string();
  write_file(package, bytes);
  write_file(output, runtime_output);
  fmt::print("{}: {} tiles, {} profiled steps per tile ({} bytes)\n{}: runtime output of the run ({} bytes)\n", package,
             tiles, steps, bytes.size(), output, runtime_output.size());
  return 0;
}

}  // namespace cli
