// Application -> package bytes. The order of the builder calls fixes the
// order of the objects in the message, so it is kept exactly: two writes of
// one application give identical bytes.

#include "package_codec.hpp"

namespace vorn_package {
namespace detail {
namespace {

// Refuses, before anything is built, what Cap'n Proto cannot encode.
void check_encodable(const Application& app) {
  using L = EncodeLimits;
  L::text(app.compiler_version, "the compiler version");
  L::list(app.tiles.size(), 3, "tiles");
  for (const TileImage& tile : app.tiles) {
    L::list(tile.segments.size(), 3, "segments");
    for (const Segment& s : tile.segments) L::blob(s.data.size(), "segment data");
  }
  for (const auto* list : {&app.inputs, &app.outputs, &app.weights}) {
    L::list(list->size(), 4, "bindings");
    for (const Binding& b : *list) {
      L::text(b.name, "a binding name");
      L::text(b.dtype, "a binding dtype");
      L::list(b.shape.size(), 0, "a binding shape");
      L::list(b.slices.size(), 3, "binding slices");
    }
  }
  const HostExchange& ex = app.host_exchange;
  L::list(ex.pages.size(), 2, "host pages");
  L::list(ex.attach_order.size(), 0, "the attach order");
  L::list(ex.calls.size(), 7, "host calls");
  for (const HostCall& c : ex.calls) {
    L::text(c.name, "a host call name");
    L::list(c.inputs.size(), 4, "host call inputs");
    L::list(c.outputs.size(), 4, "host call outputs");
    L::list(c.input_batch_ends.size(), 0, "input batch ends");
    L::list(c.output_batch_ends.size(), 0, "output batch ends");
  }
  L::list(app.entry_points.size(), 2, "entry points");
  for (const EntryPoint& e : app.entry_points) L::text(e.name, "an entry point name");
  L::list(app.device_config_writes.size(), 1, "device configuration writes");
  L::list(app.profile_tiles.size(), 2, "profile plans");
  for (const TileProfilePlan& plan : app.profile_tiles) {
    L::list(plan.steps.size(), 7, "profile steps");
    for (const ProfileStep& step : plan.steps) L::step(step);
  }
  L::list(app.debug_symbols.size(), 2, "debug symbols");
  for (const DebugSymbol& s : app.debug_symbols) L::text(s.name, "a debug symbol name");
  L::list(app.debug_regions.size(), 3, "debug regions");
  for (const DebugRegion& r : app.debug_regions) L::text(r.name, "a debug region name");
}

unsigned count(std::size_t n) { return static_cast<unsigned>(n); }  // checked by check_encodable

capnp::Data::Reader as_data(const std::vector<std::uint8_t>& bytes) {
  return capnp::Data::Reader(bytes.data(), bytes.size());
}

}  // namespace


void write_tiles(capnp::List<schema::TileImage>::Builder list, const std::vector<TileImage>& tiles) {
  for (unsigned i = 0; i < tiles.size(); ++i) {
    const TileImage& tile = tiles[i];
    auto b = list[i];
    b.setPhysicalTile(tile.physical_tile);
    b.setEntryPoint(tile.entry_point);
    b.setCommandAddress(tile.command_address);
    b.setDiagnosticAddress(tile.diagnostic_address);
    auto segments = b.initSegments(count(tile.segments.size()));
    for (unsigned j = 0; j < tile.segments.size(); ++j) {
      const Segment& s = tile.segments[j];
      auto sb = segments[j];
      sb.setAddress(s.address);
      sb.setMemorySize(s.memory_size);
      sb.setData(as_data(s.data));
      sb.setFlags(s.flags);
    }
  }
}

void write_bindings(capnp::List<schema::Binding>::Builder list, const std::vector<Binding>& bindings) {
  for (unsigned i = 0; i < bindings.size(); ++i) {
    const Binding& binding = bindings[i];
    auto b = list[i];
    b.setName(as_text(binding.name));
    b.setDtype(as_text(binding.dtype));
    auto shape = b.initShape(count(binding.shape.size()));
    auto slices = b.initSlices(count(binding.slices.size()));
    for (unsigned j = 0; j < binding.shape.size(); ++j) shape.set(j, binding.shape[j]);
    for (unsigned j = 0; j < binding.slices.size(); ++j) {
      const RegionSlice& s = binding.slices[j];
      auto sb = slices[j];
      sb.setTile(s.tile);
      sb.setTileAddress(s.tile_address);
      sb.setFileOffset(s.file_offset);
      sb.setSize(s.size);
    }
  }
}

void write_host_slices(capnp::List<schema::HostSlice>::Builder list, const std::vector<HostSlice>& slices) {
  for (unsigned i = 0; i < slices.size(); ++i) {
    auto b = list[i];
    b.setPage(slices[i].page);
    b.setPageOffset(slices[i].page_offset);
    b.setFileOffset(slices[i].file_offset);
    b.setSize(slices[i].size);
  }
}

void write_host_exchange(schema::HostExchange::Builder b, const HostExchange& exchange) {
  b.setStartupMark(exchange.startup_mark);
  b.setCommandPage(exchange.command_page);
  b.setCommandOffset(exchange.command_offset);
  auto pages = b.initPages(count(exchange.pages.size()));
  auto attach = b.initAttachOrder(count(exchange.attach_order.size()));
  for (unsigned i = 0; i < exchange.pages.size(); ++i) {
    pages[i].setIndex(exchange.pages[i].index);
    pages[i].setSize(exchange.pages[i].size);
  }
  for (unsigned i = 0; i < exchange.attach_order.size(); ++i) attach.set(i, exchange.attach_order[i]);
  auto calls = b.initCalls(count(exchange.calls.size()));
  for (unsigned i = 0; i < exchange.calls.size(); ++i) {
    const HostCall& call = exchange.calls[i];
    auto cb = calls[i];
    cb.setName(as_text(call.name));
    cb.setCommand(call.command);
    cb.setPhases(call.phases);
    cb.setInvocations(call.invocations);  // the generated setter stores it XOR 1
    auto input_ends = cb.initInputBatchEnds(count(call.input_batch_ends.size()));
    auto output_ends = cb.initOutputBatchEnds(count(call.output_batch_ends.size()));
    for (unsigned j = 0; j < call.input_batch_ends.size(); ++j) input_ends.set(j, call.input_batch_ends[j]);
    for (unsigned j = 0; j < call.output_batch_ends.size(); ++j) output_ends.set(j, call.output_batch_ends[j]);
    write_host_slices(cb.initInputs(count(call.inputs.size())), call.inputs);
    write_host_slices(cb.initOutputs(count(call.outputs.size())), call.outputs);
  }
}

void write_profile_tiles(capnp::List<schema::TileProfilePlan>::Builder list, const std::vector<TileProfilePlan>& plans) {
  for (unsigned i = 0; i < plans.size(); ++i) {
    auto b = list[i];
    b.setPhysicalTile(plans[i].physical_tile);
    auto steps = b.initSteps(count(plans[i].steps.size()));
    for (unsigned j = 0; j < plans[i].steps.size(); ++j) write_step(steps[j], plans[i].steps[j]);
  }
}


// The whole package, in the order that fixes its bytes.
void put_application(capnp::MessageBuilder& message, const Application& app) {
  auto root = message.initRoot<schema::Application>();
  root.setSchemaVersion(kSchemaVersion);
  root.setCompilerVersion(as_text(app.compiler_version));
  root.setTarget(capnp::Text::Reader(kTarget.data(), kTarget.size()));
  root.setTileMemoryBase(kTileMemoryBase);
  root.setTileMemorySize(kTileMemorySize);
  write_tiles(root.initTiles(count(app.tiles.size())), app.tiles);
  write_bindings(root.initInputs(count(app.inputs.size())), app.inputs);
  write_bindings(root.initOutputs(count(app.outputs.size())), app.outputs);
  write_bindings(root.initWeights(count(app.weights.size())), app.weights);
  write_host_exchange(root.initHostExchange(), app.host_exchange);
  auto entries = root.initEntryPoints(count(app.entry_points.size()));
  for (unsigned i = 0; i < app.entry_points.size(); ++i) {
    auto e = entries[i];
    e.setName(as_text(app.entry_points[i].name));
    e.setCommand(app.entry_points[i].command);
    e.setExternalSyncs(app.entry_points[i].external_syncs);
  }
  auto config = root.initDeviceConfigWrites(count(app.device_config_writes.size()));
  for (unsigned i = 0; i < app.device_config_writes.size(); ++i) {
    config[i].setOffset(app.device_config_writes[i].offset);
    config[i].setValue(app.device_config_writes[i].value);
  }
  write_profile_tiles(root.initProfileTiles(count(app.profile_tiles.size())), app.profile_tiles);
  auto symbols = root.initDebugSymbols(count(app.debug_symbols.size()));
  for (unsigned i = 0; i < app.debug_symbols.size(); ++i) {
    auto sym = symbols[i];
    sym.setName(as_text(app.debug_symbols[i].name));
    sym.setAddress(app.debug_symbols[i].address);
  }
  auto regions = root.initDebugRegions(count(app.debug_regions.size()));
  for (unsigned i = 0; i < app.debug_regions.size(); ++i) {
    auto r = regions[i];
    r.setPhysicalTile(app.debug_regions[i].physical_tile);
    r.setAddress(app.debug_regions[i].address);
    r.setSize(app.debug_regions[i].size);
    r.setName(as_text(app.debug_regions[i].name));
  }
}


static SegmentPlan::Segment plan_bindings(SegmentPlan& plan, SegmentPlan::Segment root, const std::vector<Binding>& bindings) {
  auto list = plan.structs(root, bindings.size(), 4);
  for (const Binding& b : bindings) {
    plan.text(list, b.name.size());
    plan.text(list, b.dtype.size());
    plan.u32s(list, b.shape.size());
    plan.structs(list, b.slices.size(), 3);
  }
  return list;
}

// The allocations of put_application, in its order, without building.
std::vector<std::uint32_t> plan_application(const Application& app) {
  SegmentPlan plan;
  auto root = plan.root(14);
  plan.text(root, app.compiler_version.size());
  plan.text(root, kTarget.size());
  auto tiles = plan.structs(root, app.tiles.size(), 3);
  for (const TileImage& tile : app.tiles) {
    auto segments = plan.structs(tiles, tile.segments.size(), 3);
    for (const Segment& s : tile.segments) plan.data(segments, s.data.size());
  }
  for (const auto* list : {&app.inputs, &app.outputs, &app.weights}) plan_bindings(plan, root, *list);
  const HostExchange& ex = app.host_exchange;
  auto exchange = plan.object(root, 5);
  plan.structs(exchange, ex.pages.size(), 2);
  plan.u32s(exchange, ex.attach_order.size());
  auto calls = plan.structs(exchange, ex.calls.size(), 7);
  for (const HostCall& c : ex.calls) {
    plan.text(calls, c.name.size());
    plan.u32s(calls, c.input_batch_ends.size());
    plan.u32s(calls, c.output_batch_ends.size());
    plan.structs(calls, c.inputs.size(), 4);
    plan.structs(calls, c.outputs.size(), 4);
  }
  auto entries = plan.structs(root, app.entry_points.size(), 2);
  for (const EntryPoint& e : app.entry_points) plan.text(entries, e.name.size());
  plan.structs(root, app.device_config_writes.size(), 1);
  auto plans = plan.structs(root, app.profile_tiles.size(), 2);
  for (const TileProfilePlan& p : app.profile_tiles) {
    auto steps = plan.structs(plans, p.steps.size(), 7);
    for (const ProfileStep& step : p.steps) plan_step(plan, steps, step);
  }
  auto symbols = plan.structs(root, app.debug_symbols.size(), 2);
  for (const DebugSymbol& sym : app.debug_symbols) plan.text(symbols, sym.name.size());
  auto regions = plan.structs(root, app.debug_regions.size(), 3);
  for (const DebugRegion& r : app.debug_regions) plan.text(regions, r.name.size());
  return plan.sizes();
}

}  // namespace detail

std::expected<void, PackageError> Application::write(std::vector<std::uint8_t>& output) const {
  if (auto valid = validate(); !valid) return valid;
  return detail::guarded<void>([&] {
    detail::check_encodable(*this);
    if (log::enabled(log::Level::Info)) {
      const log::Field fields[] = {{"tiles", std::uint64_t{tiles.size()}}};
      log::emit(log::Level::Info, "writing application package", fields);
    }

    detail::write_message(output, detail::plan_application(*this),
                          [this](capnp::MessageBuilder& message) { detail::put_application(message, *this); });
    log::emit(log::Level::Info, "application package written");
  });
}

}  // namespace vorn_package
