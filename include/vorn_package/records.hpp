#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <vorn_package/error.hpp>

namespace vorn_package {

// ---------------------------------------------------------------------------
// Profiling records: plans carried in a package, and reports made from a run.
// ---------------------------------------------------------------------------

enum class ProfileStepKind : std::uint8_t { Exchange = 0, Compute = 1, Synchronization = 2, Idle = 3 };
enum class ProfileExchangeActivityKind : std::uint8_t { Send = 0, Receive = 1, PartnerBusy = 2 };

struct ProfileMetadata {
  std::string name;
  std::string value;
  friend bool operator==(const ProfileMetadata&, const ProfileMetadata&) = default;
};

// Cycle values are raw counter readings; nothing orders or checks them.
struct ProfileExchangeActivity {
  ProfileExchangeActivityKind kind{};
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  friend bool operator==(const ProfileExchangeActivity&, const ProfileExchangeActivity&) = default;
};

struct ProfileStep {
  std::uint32_t local_index = 0;  // position in its plan's steps
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::string operation;
  ProfileStepKind kind{};
  std::string kernel;
  std::vector<ProfileMetadata> metadata;
  std::vector<ProfileExchangeActivity> exchange_activities;
  std::uint32_t exchange_event_cycles = 0;
  friend bool operator==(const ProfileStep&, const ProfileStep&) = default;
};

struct TileProfilePlan {
  std::uint32_t physical_tile = 0;
  std::vector<ProfileStep> steps;
  friend bool operator==(const TileProfilePlan&, const TileProfilePlan&) = default;
};

// One measured step; owns a full copy of its planned step.
struct CycleSample {
  ProfileStep step;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  friend bool operator==(const CycleSample&, const CycleSample&) = default;
};

struct TileProfile {
  std::uint32_t physical_tile = 0;
  std::vector<CycleSample> samples;
  friend bool operator==(const TileProfile&, const TileProfile&) = default;
};

// The profile of one run. Stored as its own file: one Cap'n Proto message with
// root `profile` (schema/profile.capnp), schema version 5 written and 1 to 5
// accepted.
struct ProfileReport {
  std::uint64_t clock_hz = 0;
  std::vector<TileProfile> tiles;

  // Appends the framed report message to `output`, keeping what it held.
  [[nodiscard]] std::expected<void, PackageError> write(std::vector<std::uint8_t>& output) const;
  // Reads the report message at the start of `input` (any alignment); bytes
  // after the message are ignored. Hostile input is bounded as for packages.
  [[nodiscard]] static std::expected<ProfileReport, PackageError> read(std::span<const std::uint8_t> input);

  friend bool operator==(const ProfileReport&, const ProfileReport&) = default;
};

// ---------------------------------------------------------------------------
// Application package records.
// ---------------------------------------------------------------------------

struct Segment {
  std::uint32_t address = 0;
  std::uint32_t memory_size = 0;  // may exceed data.size(); the rest is zero
  std::vector<std::uint8_t> data;
  std::uint32_t flags = 0;
  friend bool operator==(const Segment&, const Segment&) = default;
};

struct TileImage {
  std::uint32_t physical_tile = 0;
  std::uint32_t entry_point = 0;
  std::uint32_t command_address = 0;
  std::uint32_t diagnostic_address = 0;
  std::vector<Segment> segments;
  friend bool operator==(const TileImage&, const TileImage&) = default;
};

struct RegionSlice {
  std::uint32_t tile = 0;
  std::uint32_t tile_address = 0;
  std::uint64_t file_offset = 0;  // within the binding's byte stream
  std::uint64_t size = 0;
  friend bool operator==(const RegionSlice&, const RegionSlice&) = default;
};

struct Binding {
  std::string name;
  std::string dtype;
  std::vector<std::uint32_t> shape;
  std::vector<RegionSlice> slices;
  friend bool operator==(const Binding&, const Binding&) = default;
};

struct EntryPoint {
  std::string name;
  std::uint32_t command = 0;
  std::uint32_t external_syncs = 0;
  friend bool operator==(const EntryPoint&, const EntryPoint&) = default;
};

struct DeviceConfigWrite {
  std::uint32_t offset = 0;
  std::uint32_t value = 0;
  friend bool operator==(const DeviceConfigWrite&, const DeviceConfigWrite&) = default;
};

struct DebugSymbol {
  std::string name;
  std::uint32_t address = 0;
  friend bool operator==(const DebugSymbol&, const DebugSymbol&) = default;
};

// A region whose physical_tile is 0xFFFFFFFF belongs to the whole device.
struct DebugRegion {
  std::uint32_t physical_tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::string name;
  friend bool operator==(const DebugRegion&, const DebugRegion&) = default;
};

struct HostPage {
  std::uint32_t index = 0;  // the page's identity, never a list position
  std::uint64_t size = 0;
  friend bool operator==(const HostPage&, const HostPage&) = default;
};

struct HostSlice {
  std::uint32_t page = 0;
  std::uint64_t page_offset = 0;
  std::uint64_t file_offset = 0;
  std::uint64_t size = 0;
  friend bool operator==(const HostSlice&, const HostSlice&) = default;
};

struct HostCall {
  std::string name;
  std::uint32_t command = 0;
  std::uint32_t phases = 0;
  std::vector<HostSlice> inputs;
  std::vector<HostSlice> outputs;
  std::uint32_t invocations = 0;
  std::vector<std::uint32_t> input_batch_ends;   // exclusive batch ends in inputs
  std::vector<std::uint32_t> output_batch_ends;  // exclusive batch ends in outputs
  friend bool operator==(const HostCall&, const HostCall&) = default;
};

struct HostExchange {
  std::uint32_t startup_mark = 0;
  std::uint32_t command_page = 0;
  std::uint64_t command_offset = 0;
  std::vector<HostPage> pages;
  std::vector<std::uint32_t> attach_order;
  std::vector<HostCall> calls;
  friend bool operator==(const HostExchange&, const HostExchange&) = default;
};

// One application package for the "vorn21" device.
//
// On disk a package is one Cap'n Proto message in the standard unpacked
// stream framing, root `application` (schema/application.capnp):
//
//   u32 segment_count - 1, u32 words of each segment, zero padding to 8 bytes,
//   then the segments; the root pointer opens the first segment.
//
// The header fields schema_version (5), target ("vorn21"), tile_memory_base
// (0x4c000) and tile_memory_size (0x9c000) are constants of the file, not
// fields of this record.
//
// Limits that protect a decode of untrusted bytes:
//  - the segment table is checked before anything is sliced or allocated: a
//    count of 512 or more segments, or sizes announcing more words than the
//    input holds, fail with a Capnp error;
//  - Cap'n Proto's traversal limit is off (packages of any size read), so the
//    reader bounds what it builds instead: the records of one decode may take
//    at most 8 x the input size + 16 MiB. Without that bound a small message
//    whose pointers all share one large object, or a list of 2^29 - 1
//    zero-sized structures in one word, would ask for terabytes. A package
//    from write() never shares objects and stays far below the bound;
//  - the nesting limit of 64 bounds the depth of nested structures.
struct Application {
  std::string compiler_version = "0.1.0";
  std::vector<TileImage> tiles;
  std::vector<Binding> inputs;
  std::vector<Binding> outputs;  // their order is the runtime output layout
  std::vector<Binding> weights;
  HostExchange host_exchange;
  std::vector<EntryPoint> entry_points;
  std::vector<DeviceConfigWrite> device_config_writes;
  std::vector<TileProfilePlan> profile_tiles;
  std::vector<DebugSymbol> debug_symbols;
  std::vector<DebugRegion> debug_regions;

  // Validates, then appends the framed package to `output`. On any error
  // `output` is left exactly as it was.
  [[nodiscard]] std::expected<void, PackageError> write(std::vector<std::uint8_t>& output) const;
  // Reads the package at the start of `input` (any alignment; aligned input
  // is decoded in place) and validates it. Bytes after the message are
  // ignored.
  [[nodiscard]] static std::expected<Application, PackageError> read(std::span<const std::uint8_t> input);
  // Checks every consistency rule; the first broken rule's message wins.
  [[nodiscard]] std::expected<void, PackageError> validate() const;
  // The load image of one tile: from its lowest segment address (the load
  // base) to the end of its highest segment, zero where no data stands.
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, PackageError> tile_image(
      std::uint32_t physical_tile) const;
  // Pairs the planned steps with the cycle counters of the output binding
  // "profile.cycles" found in `runtime_output`. Does not validate.
  [[nodiscard]] std::expected<ProfileReport, PackageError> profile_report(
      std::span<const std::uint8_t> runtime_output, std::uint64_t clock_hz) const;

  friend bool operator==(const Application&, const Application&) = default;
};

// Checks the batch boundaries of one direction of a host call: strictly
// increasing exclusive ends that finish exactly at slice_count.
[[nodiscard]] std::expected<void, PackageError> validate_host_batch_ends(
    const HostCall& call, std::string_view direction, std::span<const std::uint32_t> batch_ends,
    std::size_t slice_count);

// The extent of a binding's byte stream: the largest file_offset + size over
// its slices (saturating at 2^64 - 1), 0 without slices.
std::uint64_t binding_size(const Binding& binding);

// Diagnostic text forms: type name, then each field's name and value.
std::ostream& operator<<(std::ostream& os, ProfileStepKind v);
std::ostream& operator<<(std::ostream& os, ProfileExchangeActivityKind v);
std::ostream& operator<<(std::ostream& os, const ProfileMetadata& v);
std::ostream& operator<<(std::ostream& os, const ProfileExchangeActivity& v);
std::ostream& operator<<(std::ostream& os, const ProfileStep& v);
std::ostream& operator<<(std::ostream& os, const TileProfilePlan& v);
std::ostream& operator<<(std::ostream& os, const CycleSample& v);
std::ostream& operator<<(std::ostream& os, const TileProfile& v);
std::ostream& operator<<(std::ostream& os, const ProfileReport& v);
std::ostream& operator<<(std::ostream& os, const Segment& v);
std::ostream& operator<<(std::ostream& os, const TileImage& v);
std::ostream& operator<<(std::ostream& os, const RegionSlice& v);
std::ostream& operator<<(std::ostream& os, const Binding& v);
std::ostream& operator<<(std::ostream& os, const EntryPoint& v);
std::ostream& operator<<(std::ostream& os, const DeviceConfigWrite& v);
std::ostream& operator<<(std::ostream& os, const DebugSymbol& v);
std::ostream& operator<<(std::ostream& os, const DebugRegion& v);
std::ostream& operator<<(std::ostream& os, const HostPage& v);
std::ostream& operator<<(std::ostream& os, const HostSlice& v);
std::ostream& operator<<(std::ostream& os, const HostCall& v);
std::ostream& operator<<(std::ostream& os, const HostExchange& v);
std::ostream& operator<<(std::ostream& os, const Application& v);

const char* to_string(ProfileStepKind v);
const char* to_string(ProfileExchangeActivityKind v);

}  // namespace vorn_package
