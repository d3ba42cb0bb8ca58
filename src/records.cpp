#include <vorn_package/records.hpp>

#include <algorithm>
#include <ostream>

namespace vorn_package {

std::uint64_t binding_size(const Binding& binding) {
  std::uint64_t size = 0;
  for (const RegionSlice& slice : binding.slices) {
    std::uint64_t end;
    if (__builtin_add_overflow(slice.file_offset, slice.size, &end)) end = UINT64_MAX;
    size = std::max(size, end);
  }
  return size;
}

const char* to_string(ProfileStepKind v) {
  switch (v) {
    case ProfileStepKind::Exchange: return "Exchange";
    case ProfileStepKind::Compute: return "Compute";
    case ProfileStepKind::Synchronization: return "Synchronization";
    case ProfileStepKind::Idle: return "Idle";
  }
  return "?";
}

const char* to_string(ProfileExchangeActivityKind v) {
  switch (v) {
    case ProfileExchangeActivityKind::Send: return "Send";
    case ProfileExchangeActivityKind::Receive: return "Receive";
    case ProfileExchangeActivityKind::PartnerBusy: return "PartnerBusy";
  }
  return "?";
}

std::ostream& operator<<(std::ostream& os, ProfileStepKind v) { return os << to_string(v); }
std::ostream& operator<<(std::ostream& os, ProfileExchangeActivityKind v) { return os << to_string(v); }

namespace {

// Writes `Type { field: value, ... }`: texts quoted, lists in brackets,
// numbers in decimal (bytes as numbers, not characters).
class Fields {
 public:
  Fields(std::ostream& os, const char* type) : os_(os) { os_ << type << " {"; }

  template <class T>
  Fields& operator()(const char* name, const T& value) {
    os_ << (first_ ? " " : ", ") << name << ": ";
    first_ = false;
    put(value);
    return *this;
  }

  std::ostream& end() { return os_ << (first_ ? "}" : " }"); }

 private:
  void put(const std::string& s) { os_ << '"' << s << '"'; }
  void put(std::uint8_t v) { os_ << static_cast<unsigned>(v); }
  template <class T>
  void put(const std::vector<T>& list) {
    os_ << '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i) os_ << ", ";
      put(list[i]);
    }
    os_ << ']';
  }
  template <class T>
  void put(const T& v) {
    os_ << v;
  }

  std::ostream& os_;
  bool first_ = true;
};

}  // namespace

std::ostream& operator<<(std::ostream& os, const ProfileMetadata& v) {
  return Fields(os, "ProfileMetadata")("name", v.name)("value", v.value).end();
}
std::ostream& operator<<(std::ostream& os, const ProfileExchangeActivity& v) {
  return Fields(os, "ProfileExchangeActivity")("kind", v.kind)("start_cycle", v.start_cycle)(
             "end_cycle", v.end_cycle)
      .end();
}
std::ostream& operator<<(std::ostream& os, const ProfileStep& v) {
  return Fields(os, "ProfileStep")("local_index", v.local_index)("phase", v.phase)("epoch", v.epoch)(
             "operation", v.operation)("kind", v.kind)("kernel", v.kernel)("metadata", v.metadata)(
             "exchange_activities", v.exchange_activities)("exchange_event_cycles", v.exchange_event_cycles)
      .end();
}
std::ostream& operator<<(std::ostream& os, const TileProfilePlan& v) {
  return Fields(os, "TileProfilePlan")("physical_tile", v.physical_tile)("steps", v.steps).end();
}
std::ostream& operator<<(std::ostream& os, const CycleSample& v) {
  return Fields(os, "CycleSample")("step", v.step)("start_cycle", v.start_cycle)("end_cycle", v.end_cycle).end();
}
std::ostream& operator<<(std::ostream& os, const TileProfile& v) {
  return Fields(os, "TileProfile")("physical_tile", v.physical_tile)("samples", v.samples).end();
}
std::ostream& operator<<(std::ostream& os, const ProfileReport& v) {
  return Fields(os, "ProfileReport")("clock_hz", v.clock_hz)("tiles", v.tiles).end();
}
std::ostream& operator<<(std::ostream& os, const Segment& v) {
  return Fields(os, "Segment")("address", v.address)("memory_size", v.memory_size)("data", v.data)(
             "flags", v.flags)
      .end();
}
std::ostream& operator<<(std::ostream& os, const TileImage& v) {
  return Fields(os, "TileImage")("physical_tile", v.physical_tile)("entry_point", v.entry_point)(
             "command_address", v.command_address)("diagnostic_address", v.diagnostic_address)(
             "segments", v.segments)
      .end();
}
std::ostream& operator<<(std::ostream& os, const RegionSlice& v) {
  return Fields(os, "RegionSlice")("tile", v.tile)("tile_address", v.tile_address)("file_offset", v.file_offset)(
             "size", v.size)
      .end();
}
std::ostream& operator<<(std::ostream& os, const Binding& v) {
  return Fields(os, "Binding")("name", v.name)("dtype", v.dtype)("shape", v.shape)("slices", v.slices).end();
}
std::ostream& operator<<(std::ostream& os, const EntryPoint& v) {
  return Fields(os, "EntryPoint")("name", v.name)("command", v.command)("external_syncs", v.external_syncs).end();
}
std::ostream& operator<<(std::ostream& os, const DeviceConfigWrite& v) {
  return Fields(os, "DeviceConfigWrite")("offset", v.offset)("value", v.value).end();
}
std::ostream& operator<<(std::ostream& os, const DebugSymbol& v) {
  return Fields(os, "DebugSymbol")("name", v.name)("address", v.address).end();
}
std::ostream& operator<<(std::ostream& os, const DebugRegion& v) {
  return Fields(os, "DebugRegion")("physical_tile", v.physical_tile)("address", v.address)("size", v.size)(
             "name", v.name)
      .end();
}
std::ostream& operator<<(std::ostream& os, const HostPage& v) {
  return Fields(os, "HostPage")("index", v.index)("size", v.size).end();
}
std::ostream& operator<<(std::ostream& os, const HostSlice& v) {
  return Fields(os, "HostSlice")("page", v.page)("page_offset", v.page_offset)("file_offset", v.file_offset)(
             "size", v.size)
      .end();
}
std::ostream& operator<<(std::ostream& os, const HostCall& v) {
  return Fields(os, "HostCall")("name", v.name)("command", v.command)("phases", v.phases)("inputs", v.inputs)(
             "outputs", v.outputs)("invocations", v.invocations)("input_batch_ends", v.input_batch_ends)(
             "output_batch_ends", v.output_batch_ends)
      .end();
}
std::ostream& operator<<(std::ostream& os, const HostExchange& v) {
  return Fields(os, "HostExchange")("startup_mark", v.startup_mark)("command_page", v.command_page)(
             "command_offset", v.command_offset)("pages", v.pages)("attach_order", v.attach_order)(
             "calls", v.calls)
      .end();
}
std::ostream& operator<<(std::ostream& os, const Application& v) {
  return Fields(os, "Application")("compiler_version", v.compiler_version)("tiles", v.tiles)("inputs", v.inputs)(
             "outputs", v.outputs)("weights", v.weights)("host_exchange", v.host_exchange)(
             "entry_points", v.entry_points)("device_config_writes", v.device_config_writes)(
             "profile_tiles", v.profile_tiles)("debug_symbols", v.debug_symbols)("debug_regions", v.debug_regions)
      .end();
}

}  // namespace vorn_package
