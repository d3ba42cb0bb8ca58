// Package bytes -> Application: framing, root, header check, record decoders,
// validation, in that order. Cap'n Proto raises its errors lazily from the
// getters, so the whole decode runs under one catch boundary (guarded).

#include "package_codec.hpp"

namespace vorn_package {
namespace detail {

std::vector<HostSlice> read_host_slices(capnp::List<schema::HostSlice>::Reader list, Budget& budget) {
  auto slices = reserve_for<HostSlice>(list, budget);
  for (auto s : list) slices.push_back(HostSlice{s.getPage(), s.getPageOffset(), s.getFileOffset(), s.getSize()});
  return slices;
}

std::vector<TileImage> read_tiles(capnp::List<schema::TileImage>::Reader list, Budget& budget) {
  auto tiles = reserve_for<TileImage>(list, budget);
  for (auto t : list) {
    TileImage& tile = tiles.emplace_back();
    tile.physical_tile = t.getPhysicalTile();
    tile.entry_point = t.getEntryPoint();
    tile.command_address = t.getCommandAddress();
    tile.diagnostic_address = t.getDiagnosticAddress();
    auto segments = t.getSegments();
    tile.segments = reserve_for<Segment>(segments, budget);
    for (auto s : segments) {
      Segment& segment = tile.segments.emplace_back();
      segment.address = s.getAddress();
      segment.memory_size = s.getMemorySize();
      auto data = s.getData();
      budget.charge(data.size());
      segment.data.assign(data.begin(), data.end());
      segment.flags = s.getFlags();
    }
  }
  return tiles;
}

std::vector<Binding> read_bindings(capnp::List<schema::Binding>::Reader list, Budget& budget) {
  auto bindings = reserve_for<Binding>(list, budget);
  for (auto b : list) {
    Binding& binding = bindings.emplace_back();
    binding.name = read_text(b.getName(), budget);
    binding.dtype = read_text(b.getDtype(), budget);
    binding.shape = read_u32_list(b.getShape(), budget);
    auto slices = b.getSlices();
    binding.slices = reserve_for<RegionSlice>(slices, budget);
    for (auto s : slices) {
      binding.slices.push_back(RegionSlice{s.getTile(), s.getTileAddress(), s.getFileOffset(), s.getSize()});
    }
  }
  return bindings;
}

HostExchange read_host_exchange(schema::HostExchange::Reader r, Budget& budget) {
  HostExchange exchange;
  exchange.startup_mark = r.getStartupMark();
  exchange.command_page = r.getCommandPage();
  exchange.command_offset = r.getCommandOffset();
  auto pages = r.getPages();
  exchange.pages = reserve_for<HostPage>(pages, budget);
  for (auto p : pages) exchange.pages.push_back(HostPage{p.getIndex(), p.getSize()});
  exchange.attach_order = read_u32_list(r.getAttachOrder(), budget);
  auto calls = r.getCalls();
  exchange.calls = reserve_for<HostCall>(calls, budget);
  for (auto c : calls) {
    HostCall& call = exchange.calls.emplace_back();
    call.name = read_text(c.getName(), budget);
    call.command = c.getCommand();
    call.phases = c.getPhases();
    call.invocations = c.getInvocations();  // the generated getter undoes the XOR 1
    call.inputs = read_host_slices(c.getInputs(), budget);
    call.outputs = read_host_slices(c.getOutputs(), budget);
    call.input_batch_ends = read_u32_list(c.getInputBatchEnds(), budget);
    call.output_batch_ends = read_u32_list(c.getOutputBatchEnds(), budget);
  }
  return exchange;
}

std::vector<TileProfilePlan> read_profile_tiles(capnp::List<schema::TileProfilePlan>::Reader list, Budget& budget) {
  auto plans = reserve_for<TileProfilePlan>(list, budget);
  for (auto p : list) {
    TileProfilePlan& plan = plans.emplace_back();
    plan.physical_tile = p.getPhysicalTile();
    auto steps = p.getSteps();
    plan.steps = reserve_for<ProfileStep>(steps, budget);
    for (auto s : steps) read_step(s, budget, plan.steps.emplace_back());
  }
  return plans;
}

namespace {

[[noreturn]] void incompatible() { throw Failure{PackageError::invalid("incompatible package header")}; }

Application decode(std::span<const std::uint8_t> input) {
  Budget budget(input.size());
  Framed framed = frame_message(input, budget);
  capnp::FlatArrayMessageReader message(framed.words, capnp_reader_options());
  auto root = message.getRoot<schema::Application>();

  // The target is decoded only once the version is known to be ours.
  if (root.getSchemaVersion() != kSchemaVersion) incompatible();
  if (read_text(root.getTarget(), budget) != kTarget) incompatible();
  if (root.getTileMemoryBase() != kTileMemoryBase || root.getTileMemorySize() != kTileMemorySize) incompatible();

  Application app;
  app.compiler_version = read_text(root.getCompilerVersion(), budget);
  app.tiles = read_tiles(root.getTiles(), budget);
  app.inputs = read_bindings(root.getInputs(), budget);
  app.outputs = read_bindings(root.getOutputs(), budget);
  app.weights = read_bindings(root.getWeights(), budget);
  app.host_exchange = read_host_exchange(root.getHostExchange(), budget);
  auto entries = root.getEntryPoints();
  app.entry_points = reserve_for<EntryPoint>(entries, budget);
  for (auto e : entries) {
    std::string name = read_text(e.getName(), budget);
    app.entry_points.push_back(EntryPoint{std::move(name), e.getCommand(), e.getExternalSyncs()});
  }
  auto config = root.getDeviceConfigWrites();
  app.device_config_writes = reserve_for<DeviceConfigWrite>(config, budget);
  for (auto w : config) app.device_config_writes.push_back(DeviceConfigWrite{w.getOffset(), w.getValue()});
  app.profile_tiles = read_profile_tiles(root.getProfileTiles(), budget);
  auto symbols = root.getDebugSymbols();
  app.debug_symbols = reserve_for<DebugSymbol>(symbols, budget);
  for (auto s : symbols) {
    std::string name = read_text(s.getName(), budget);
    app.debug_symbols.push_back(DebugSymbol{std::move(name), s.getAddress()});
  }
  auto regions = root.getDebugRegions();
  app.debug_regions = reserve_for<DebugRegion>(regions, budget);
  for (auto r : regions) {
    DebugRegion& region = app.debug_regions.emplace_back();
    region.physical_tile = r.getPhysicalTile();
    region.address = r.getAddress();
    region.size = r.getSize();
    region.name = read_text(r.getName(), budget);
  }
  return app;
}

}  // namespace
}  // namespace detail

std::expected<Application, PackageError> Application::read(std::span<const std::uint8_t> input) {
  log::emit(log::Level::Info, "reading application package");
  auto app = detail::guarded<Application>([&] { return detail::decode(input); });
  if (!app) return app;
  if (auto valid = app->validate(); !valid) return std::unexpected(std::move(valid.error()));
  if (log::enabled(log::Level::Info)) {
    const log::Field fields[] = {{"tiles", std::uint64_t{app->tiles.size()}},
                                 {"compiler", std::string_view(app->compiler_version)}};
    log::emit(log::Level::Info, "application package read", fields);
  }
  return app;
}

}  // namespace vorn_package
