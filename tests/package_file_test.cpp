#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

#include <capnp/any.h>
#include <capnp/schema.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "fixtures.hpp"
#include "package_codec.hpp"
#include "wide.capnp.h"

using namespace vorn_package;
namespace schema = vorn_package::application_capnp;

namespace {

std::vector<std::uint8_t> written(const Application& app) {
  std::vector<std::uint8_t> bytes;
  auto result = app.write(bytes);
  EXPECT_TRUE(result.has_value()) << result.error();
  return bytes;
}

std::vector<std::uint8_t> flat(capnp::MessageBuilder& message) {
  kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  auto bytes = words.asBytes();
  return {bytes.begin(), bytes.end()};
}

// A root with a correct header and nothing else.
schema::Application::Builder header(capnp::MessageBuilder& message) {
  auto root = message.initRoot<schema::Application>();
  root.setSchemaVersion(5);
  root.setTarget("vorn21");
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
  return root;
}

// A root with a correct header and one valid tile; `edit` adds the fault.
std::vector<std::uint8_t> message_with(const std::function<void(schema::Application::Builder)>& edit) {
  capnp::MallocMessageBuilder message;
  auto root = header(message);
  auto tile = root.initTiles(1)[0];
  auto segment = tile.initSegments(1)[0];
  segment.setAddress(0x4c000);
  segment.setMemorySize(8);
  edit(root);
  return flat(message);
}

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t v) {
  std::memcpy(bytes.data() + offset, &v, 4);
}
void put_u64(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t v) {
  std::memcpy(bytes.data() + offset, &v, 8);
}

// The sample application (one tile, one 4-byte segment) as the writer must
// lay it out: one segment of 41 words, objects in the writer's order.
const std::uint64_t kSampleWords[] = {
    0x0000002900000000,  // segment table: 1 segment of 41 words
    0x000c000200000000,  // root pointer: struct at +0, 2 data words, 12 pointers
    0x0004c00000000005,  // schema_version 5, tile_memory_base 0x4c000
    0x000000000009c000,  // tile_memory_size 0x9c000, unused
    0x000000320000002d,  // compiler_version: byte list of 6 at word 16
    0x0000003a0000002d,  // target: byte list of 7 at word 17
    0x0000001f0000002d,  // tiles: composite list of 3 words at word 18
    0x000000070000004d,  // inputs: composite list of 0 words at word 27
    0x000000070000004d,  // outputs (word 28)
    0x000000070000004d,  // weights (word 29)
    0x000300020000004c,  // host_exchange: struct of 2 data words, 3 pointers at word 30
    0x0000000700000065,  // entry_points (word 37)
    0x0000000700000065,  // device_config_writes (word 38)
    0x0000000700000065,  // profile_tiles (word 39)
    0x0000000700000065,  // debug_symbols (word 40)
    0x0000000700000065,  // debug_regions (word 41)
    0x0000302e312e30,    // "0.1.0\0"
    0x000031326e726f76,  // "vorn21\0"
    0x0001000200000004,  // tiles tag: 1 element of 2 data words, 1 pointer
    0x0004c00000000000,  // physical_tile 0, entry_point 0x4c000
    0x0004c2000004c100,  // command_address 0x4c100, diagnostic_address 0x4c200
    0x0000001f00000001,  // segments: composite list of 3 words at word 22
    0x0001000200000004,  // segments tag: 1 element of 2 data words, 1 pointer
    0x000000080004c000,  // address 0x4c000, memory_size 8
    0x0000000000000005,  // flags 5
    0x0000002200000001,  // data: byte list of 4 at word 26
    0x0000000004030201,  // 01 02 03 04
    0x0004000000000000,  // inputs tag: 0 elements of 0 data words, 1 pointer... see below
    0x0004000000000000,  // outputs tag
    0x0004000000000000,  // weights tag
    0x0000000000000000,  // host_exchange: startup_mark 0, command_page 0
    0x0000000000000000,  // command_offset 0
    0x0000000700000009,  // pages: composite list of 0 words at word 35
    0x0000000400000009,  // attach_order: list of 32-bit values, 0 elements, no words
    0x0000000700000005,  // calls: composite list of 0 words at word 36
    0x0000000200000000,  // pages tag: 0 elements of 2 data words
    0x0005000200000000,  // calls tag: 0 elements of 2 data words, 5 pointers
    0x0001000100000000,  // entry_points tag: 1 data word, 1 pointer
    0x0000000100000000,  // device_config_writes tag: 1 data word
    0x0001000100000000,  // profile_tiles tag: 1 data word, 1 pointer
    0x0001000100000000,  // debug_symbols tag: 1 data word, 1 pointer
    0x0001000200000000,  // debug_regions tag: 2 data words, 1 pointer
};

std::vector<std::uint8_t> sample_fixture() {
  std::vector<std::uint8_t> bytes(sizeof kSampleWords);
  std::memcpy(bytes.data(), kSampleWords, sizeof kSampleWords);
  return bytes;
}

TEST(Writer, SampleIsExactly336Bytes) {
  std::vector<std::uint8_t> bytes = written(fixtures::sample());
  ASSERT_EQ(bytes.size(), 336u);
  std::vector<std::uint8_t> want = sample_fixture();
  for (std::size_t word = 0; word < 42; ++word) {
    std::uint64_t got, expected;
    std::memcpy(&got, bytes.data() + 8 * word, 8);
    std::memcpy(&expected, want.data() + 8 * word, 8);
    EXPECT_EQ(got, expected) << "word " << word << std::hex << ": 0x" << got << " != 0x" << expected;
  }
}

TEST(Writer, DeterministicAndAppends) {
  const Application app = fixtures::rich();
  EXPECT_EQ(written(app), written(app));

  std::vector<std::uint8_t> bytes = {0xde, 0xad, 0xbe};
  ASSERT_TRUE(app.write(bytes).has_value());
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 3)), (std::vector<std::uint8_t>{0xde, 0xad, 0xbe}));
  auto read = Application::read(std::span(bytes).subspan(3));  // unaligned start
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, app);
}

TEST(Writer, RefusesInvalidApplicationsUnchanged) {
  fixtures::EventLog events;
  std::vector<std::uint8_t> bytes = {1, 2};
  auto result = Application{}.write(bytes);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), PackageError::invalid("application has no tiles"));
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_TRUE(events.records().empty());
}

TEST(Writer, RefusesWhatCapnProtoCannotEncode) {
  using detail::EncodeLimits;
  EXPECT_NO_THROW(EncodeLimits::list((1u << 29) - 1, 0, "x"));
  EXPECT_THROW(EncodeLimits::list(1u << 29, 0, "x"), detail::Failure);
  EXPECT_THROW(EncodeLimits::list(1u << 27, 4, "x"), detail::Failure);  // 2^29 words
  EXPECT_THROW(EncodeLimits::blob(1u << 29, "x"), detail::Failure);
  try {
    EncodeLimits::list(std::size_t{1} << 29, 3, "tiles");
  } catch (const detail::Failure& f) {
    EXPECT_EQ(f.error.kind(), PackageError::Kind::Capnp);
    EXPECT_EQ(f.error.message(), "cannot encode tiles: 536870912 elements exceed the list limit of 536870911");
  }
}

TEST(Writer, InvocationsStoredXorOneAndEmptyListsPresent) {
  Application app = fixtures::sample();
  app.compiler_version = "";
  app.host_exchange.pages = {{0, 4096}};
  app.host_exchange.calls = {HostCall{.name = "one", .invocations = 1}, HostCall{.name = "zero", .invocations = 0}};
  std::vector<std::uint8_t> bytes;
  ASSERT_FALSE(app.write(bytes).has_value());  // zero invocations are invalid; write by hand instead
  app.host_exchange.calls.pop_back();
  bytes = written(app);

  auto words = kj::ArrayPtr<const capnp::word>(reinterpret_cast<const capnp::word*>(bytes.data()), bytes.size() / 8);
  capnp::FlatArrayMessageReader message(words);
  auto root = message.getRoot<schema::Application>();
  auto data = capnp::AnyStruct::Reader(root.getHostExchange().getCalls()[0]).getDataSection();
  ASSERT_EQ(data.size(), 16u);
  for (std::size_t i = 8; i < 12; ++i) EXPECT_EQ(data[i], 0) << i;
  EXPECT_TRUE(root.hasCompilerVersion());
  EXPECT_EQ(root.getCompilerVersion().size(), 0u);
  for (bool present : {root.hasInputs(), root.hasOutputs(), root.hasWeights(), root.hasEntryPoints(),
                       root.hasDeviceConfigWrites(), root.hasProfileTiles(), root.hasDebugSymbols(),
                       root.hasDebugRegions(), root.getHostExchange().getCalls()[0].hasInputBatchEnds()}) {
    EXPECT_TRUE(present);
  }
}

TEST(Schema, StructureSizesAndFieldLocations) {
  struct Layout {
    capnp::StructSchema schema;
    unsigned data_words;
    unsigned pointers;
    // name -> "dN" (data byte offset) or "pN" (pointer index)
    std::vector<std::pair<const char*, const char*>> fields;
  };
  const Layout layouts[] = {
      {capnp::Schema::from<schema::Application>(), 2, 12,
       {{"schemaVersion", "d0"}, {"compilerVersion", "p0"}, {"target", "p1"}, {"tileMemoryBase", "d4"},
        {"tileMemorySize", "d8"}, {"tiles", "p2"}, {"inputs", "p3"}, {"outputs", "p4"}, {"weights", "p5"},
        {"hostExchange", "p6"}, {"entryPoints", "p7"}, {"deviceConfigWrites", "p8"}, {"profileTiles", "p9"},
        {"debugSymbols", "p10"}, {"debugRegions", "p11"}}},
      {capnp::Schema::from<schema::TileImage>(), 2, 1,
       {{"physicalTile", "d0"}, {"entryPoint", "d4"}, {"segments", "p0"}, {"commandAddress", "d8"},
        {"diagnosticAddress", "d12"}}},
      {capnp::Schema::from<schema::Segment>(), 2, 1, {{"address", "d0"}, {"memorySize", "d4"}, {"data", "p0"}, {"flags", "d8"}}},
      {capnp::Schema::from<schema::Binding>(), 0, 4, {{"name", "p0"}, {"dtype", "p1"}, {"shape", "p2"}, {"slices", "p3"}}},
      {capnp::Schema::from<schema::RegionSlice>(), 3, 0,
       {{"tile", "d0"}, {"tileAddress", "d4"}, {"fileOffset", "d8"}, {"size", "d16"}}},
      {capnp::Schema::from<schema::HostExchange>(), 2, 3,
       {{"startupMark", "d0"}, {"commandPage", "d4"}, {"commandOffset", "d8"}, {"pages", "p0"},
        {"attachOrder", "p1"}, {"calls", "p2"}}},
      {capnp::Schema::from<schema::HostPage>(), 2, 0, {{"index", "d0"}, {"size", "d8"}}},
      {capnp::Schema::from<schema::HostCall>(), 2, 5,
       {{"name", "p0"}, {"command", "d0"}, {"phases", "d4"}, {"inputs", "p1"}, {"outputs", "p2"},
        {"invocations", "d8"}, {"inputBatchEnds", "p3"}, {"outputBatchEnds", "p4"}}},
      {capnp::Schema::from<schema::HostSlice>(), 4, 0,
       {{"page", "d0"}, {"pageOffset", "d8"}, {"fileOffset", "d16"}, {"size", "d24"}}},
      {capnp::Schema::from<schema::EntryPoint>(), 1, 1, {{"name", "p0"}, {"command", "d0"}, {"externalSyncs", "d4"}}},
      {capnp::Schema::from<schema::DeviceConfigWrite>(), 1, 0, {{"offset", "d0"}, {"value", "d4"}}},
      {capnp::Schema::from<schema::DebugSymbol>(), 1, 1, {{"name", "p0"}, {"address", "d0"}}},
      {capnp::Schema::from<schema::DebugRegion>(), 2, 1, {{"physicalTile", "d0"}, {"address", "d4"}, {"size", "d8"}, {"name", "p0"}}},
      {capnp::Schema::from<schema::TileProfilePlan>(), 1, 1, {{"physicalTile", "d0"}, {"steps", "p0"}}},
      {capnp::Schema::from<schema::ProfileStepPlan>(), 3, 4,
       {{"localIndex", "d0"}, {"phase", "d4"}, {"epoch", "d8"}, {"operation", "p0"}, {"kind", "d12"},
        {"kernel", "p1"}, {"metadata", "p2"}, {"exchangeActivities", "p3"}, {"exchangeEventCycles", "d16"}}},
      {capnp::Schema::from<schema::ProfileMetadata>(), 0, 2, {{"name", "p0"}, {"value", "p1"}}},
      {capnp::Schema::from<schema::ProfileExchangeActivity>(), 2, 0, {{"kind", "d0"}, {"startCycle", "d4"}, {"endCycle", "d8"}}},
  };
  for (const Layout& layout : layouts) {
    auto proto = layout.schema.getProto();
    SCOPED_TRACE(proto.getDisplayName().cStr());
    EXPECT_EQ(proto.getStruct().getDataWordCount(), layout.data_words);
    EXPECT_EQ(proto.getStruct().getPointerCount(), layout.pointers);
    ASSERT_EQ(layout.schema.getFields().size(), layout.fields.size());
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
      auto field = layout.schema.getFields()[i];
      EXPECT_STREQ(field.getProto().getName().cStr(), layout.fields[i].first) << "ordinal " << i;
      auto slot = field.getProto().getSlot();
      auto type = field.getType();
      std::string where;
      if (type.isText() || type.isData() || type.isList() || type.isStruct()) {
        where = "p" + std::to_string(slot.getOffset());
      } else {
        unsigned bytes = type.isUInt64() ? 8 : type.isUInt32() ? 4 : 2;  // enums are 16 bits
        where = "d" + std::to_string(slot.getOffset() * bytes);
      }
      EXPECT_EQ(where, layout.fields[i].second) << field.getProto().getName().cStr();
    }
  }
  EXPECT_EQ(capnp::Schema::from<schema::HostCall>().getFieldByName("invocations").getProto().getSlot()
                .getDefaultValue().getUint32(),
            1u);
}

TEST(Reader, RichRoundTripFromAlignedAndUnalignedSpans) {
  const Application app = fixtures::rich();
  std::vector<std::uint8_t> bytes = written(app);
  auto aligned = Application::read(bytes);
  ASSERT_TRUE(aligned.has_value()) << aligned.error();
  EXPECT_EQ(*aligned, app);

  std::vector<std::uint8_t> shifted(bytes.size() + 1);
  std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
  auto unaligned = Application::read(std::span(shifted).subspan(1));
  ASSERT_TRUE(unaligned.has_value()) << unaligned.error();
  EXPECT_EQ(*unaligned, app);

  bytes.insert(bytes.end(), {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01});  // trailing bytes ignored
  auto trailing = Application::read(bytes);
  ASSERT_TRUE(trailing.has_value()) << trailing.error();
  EXPECT_EQ(*trailing, app);
}

TEST(Reader, MultiSegmentMessageWithFarPointers) {
  const Application app = fixtures::rich();
  // Tiny fixed-size segments force every object into a segment of its own.
  capnp::MallocMessageBuilder message(1, capnp::AllocationStrategy::FIXED_SIZE);
  detail::put_application(message, app);
  ASSERT_GT(message.getSegmentsForOutput().size(), 50u);
  ASSERT_LT(message.getSegmentsForOutput().size(), 512u);
  auto read = Application::read(flat(message));
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, app);
}

TEST(Reader, LargerAndSmallerStructures) {
  Application app = fixtures::sample();
  app.debug_regions = {DebugRegion{0xFFFFFFFF, 0, 4, "r"}};

  // Written by a later schema with more fields: they are ignored.
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wide::Application>();
  root.setSchemaVersion(5);
  root.setCompilerVersion("0.1.0");
  root.setTarget("vorn21");
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
  auto tile = root.initTiles(1)[0];
  tile.setEntryPoint(0x4c000);
  tile.setCommandAddress(0x4c100);
  tile.setDiagnosticAddress(0x4c200);
  tile.setFutureNumber(~0ull);
  tile.initFutureList(3);
  auto segment = tile.initSegments(1)[0];
  segment.setAddress(0x4c000);
  segment.setMemorySize(8);
  segment.setData(kj::arrayPtr(app.tiles[0].segments[0].data.data(), 4));
  segment.setFlags(5);
  auto region = root.initDebugRegions(1)[0];
  region.setPhysicalTile(0xFFFFFFFF);
  region.setSize(4);
  region.setName("r");
  root.setFutureNumber(42);
  root.setFutureText("later");
  auto wider = Application::read(flat(message));
  ASSERT_TRUE(wider.has_value()) << wider.error();
  EXPECT_EQ(*wider, app);

  // Written by an earlier schema without debug_regions: it reads as empty.
  std::vector<std::uint8_t> bytes = written(app);
  put_u32(bytes, 12, 0x000b0002);  // root pointer: 2 data words, 11 pointers
  auto narrower = Application::read(bytes);
  ASSERT_TRUE(narrower.has_value()) << narrower.error();
  app.debug_regions.clear();
  EXPECT_EQ(*narrower, app);
}

struct ReadCase {
  const char* what;
  std::function<std::vector<std::uint8_t>()> make;
  PackageError::Kind kind;
  std::optional<PackageError> error;  // the exact error, where it is ours
};

PackageError incompatible() { return PackageError::invalid("incompatible package header"); }

std::vector<std::uint8_t> sample_edited(const std::function<void(std::vector<std::uint8_t>&)>& edit) {
  std::vector<std::uint8_t> bytes = sample_fixture();
  edit(bytes);
  return bytes;
}

// Offsets into the sample fixture: 8 bytes of segment table, then words.
constexpr std::size_t word(std::size_t n) { return 8 * n; }

const ReadCase kReadCases[] = {
    {"empty input", [] { return std::vector<std::uint8_t>{}; }, PackageError::Kind::Capnp,
     PackageError::capnp(CapnpErrorKind::Failed, "input of 0 bytes is too short for a message segment table")},
    {"three bytes", [] { return std::vector<std::uint8_t>{0, 0, 0}; }, PackageError::Kind::Capnp, std::nullopt},
    {"truncated by one word", [] { auto b = sample_fixture(); b.resize(b.size() - 8); return b; },
     PackageError::Kind::Capnp,
     PackageError::capnp(CapnpErrorKind::Failed, "segment table announces 41 words of segments but the input holds 40")},
    {"segment table announces 2^28 words",
     [] { return sample_edited([](auto& b) { put_u32(b, 4, 1u << 28); }); }, PackageError::Kind::Capnp, std::nullopt},
    {"512 segments",
     [] {
       std::vector<std::uint8_t> b(8 + 512 * 4 + 8 * 512, 0);
       put_u32(b, 0, 511);
       for (int i = 0; i < 512; ++i) put_u32(b, 4 + 4 * i, 1);
       return b;
     },
     PackageError::Kind::Capnp,
     PackageError::capnp(CapnpErrorKind::Failed, "segment table announces 512 segments; at most 511 are accepted")},
    {"segment count wraps", [] { return sample_edited([](auto& b) { put_u32(b, 0, 0xFFFFFFFF); }); },
     PackageError::Kind::Capnp,
     PackageError::capnp(CapnpErrorKind::Failed, "segment table announces 4294967296 segments; at most 511 are accepted")},
    {"segment table longer than the input",
     [] { std::vector<std::uint8_t> b(16, 0); put_u32(b, 0, 7); return b; }, PackageError::Kind::Capnp,
     PackageError::capnp(CapnpErrorKind::Failed, "input of 16 bytes ends inside a segment table of 40 bytes")},
    {"null root: version 0", [] { return sample_edited([](auto& b) { put_u64(b, word(1), 0); }); },
     PackageError::Kind::Invalid, incompatible()},
    {"root is a list", [] { return sample_edited([](auto& b) { put_u32(b, word(1), 1); }); },
     PackageError::Kind::Capnp, std::nullopt},
    {"schema version 4", [] { return sample_edited([](auto& b) { b[word(2)] = 4; }); }, PackageError::Kind::Invalid,
     incompatible()},
    {"target's last character differs", [] { return sample_edited([](auto& b) { b[word(17) + 5] = '2'; }); },
     PackageError::Kind::Invalid, incompatible()},
    {"target one character shorter",
     [] { return message_with([](auto root) { root.setTarget("vorn2"); }); }, PackageError::Kind::Invalid,
     incompatible()},
    {"target one character longer",
     [] { return message_with([](auto root) { root.setTarget("vorn21x"); }); }, PackageError::Kind::Invalid,
     incompatible()},
    {"null target", [] { return sample_edited([](auto& b) { put_u64(b, word(5), 0); }); },
     PackageError::Kind::Invalid, incompatible()},
    {"tile memory base off by one",
     [] { return message_with([](auto root) { root.setTileMemoryBase(0x4c001); }); }, PackageError::Kind::Invalid,
     incompatible()},
    {"tile memory size off by one", [] { return sample_edited([](auto& b) { b[word(3)] = 0x01; }); },
     PackageError::Kind::Invalid, incompatible()},
    {"wrong version wins over a target that is not UTF-8",
     [] { return message_with([](auto root) { root.setSchemaVersion(4); root.setTarget("vorn\xff"); }); },
     PackageError::Kind::Invalid, incompatible()},
    {"target not UTF-8", [] { return message_with([](auto root) { root.setTarget("vorn\xe2\x82"); }); },
     PackageError::Kind::Utf8, PackageError::utf8(Utf8Error{4, std::nullopt})},
    {"target is a struct",
     [] { return sample_edited([](auto& b) { put_u64(b, word(5), 0x000000010000002cull); }); },
     PackageError::Kind::Capnp, std::nullopt},
    {"compiler version not UTF-8",
     [] { return message_with([](auto root) { root.setCompilerVersion("ab\xff"); }); }, PackageError::Kind::Utf8,
     PackageError::utf8(Utf8Error{2, 1})},
    {"binding name not UTF-8",
     [] { return message_with([](auto root) { root.initWeights(1)[0].setName("w\xed\xa0\x80"); }); },
     PackageError::Kind::Utf8, PackageError::utf8(Utf8Error{1, 1})},
    {"tiles pointer is a struct",
     [] { return sample_edited([](auto& b) { put_u64(b, word(6), 0x0000000100000024ull); }); },
     PackageError::Kind::Capnp, std::nullopt},
    {"segment data is a struct list",
     [] { return sample_edited([](auto& b) { put_u64(b, word(25), 0x0000000700000001ull); }); },
     PackageError::Kind::Capnp, std::nullopt},
    {"step kind 4",
     [] {
       return message_with([](auto root) {
         auto plan = root.initProfileTiles(1)[0];
         plan.initSteps(1)[0].setKind(static_cast<schema::ProfileStepKind>(4));
       });
     },
     PackageError::Kind::SchemaEnum, PackageError::schema_enum(4)},
    {"activity kind 3",
     [] {
       return message_with([](auto root) {
         auto step = root.initProfileTiles(1)[0].initSteps(1)[0];
         step.initExchangeActivities(1)[0].setKind(static_cast<schema::ProfileExchangeActivityKind>(3));
       });
     },
     PackageError::Kind::SchemaEnum, PackageError::schema_enum(3)},
    {"operation not UTF-8",
     [] {
       return message_with([](auto root) { root.initProfileTiles(1)[0].initSteps(1)[0].setOperation("\xff"); });
     },
     PackageError::Kind::Utf8, PackageError::utf8(Utf8Error{0, 1})},
    {"overlapping segments",
     [] {
       return message_with([](auto root) {
         auto segments = root.getTiles()[0].initSegments(2);
         for (auto s : segments) {
           s.setAddress(0x4c000);
           s.setMemorySize(8);
         }
       });
     },
     PackageError::Kind::Invalid,
     PackageError::invalid("overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c000..0x4c008")},
    {"header only: no tiles", [] { capnp::MallocMessageBuilder m; header(m).setCompilerVersion("x"); return flat(m); },
     PackageError::Kind::Invalid, PackageError::invalid("application has no tiles")},
};

TEST(Reader, RejectsMalformedPackages) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes = c.make();
    auto result = Application::read(bytes);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), c.kind) << result.error();
    if (c.error) {
      EXPECT_EQ(result.error(), *c.error);
    }
  }
}

TEST(Reader, DefaultsForZeroAndNullFields) {
  auto bytes = message_with([](auto root) {
    auto exchange = root.initHostExchange();
    exchange.initPages(1)[0].setSize(4096);
    exchange.initCalls(1);  // invocations bytes zero: 1
    root.initProfileTiles(1)[0].initSteps(1);  // null texts, kind bytes zero
  });
  auto read = Application::read(bytes);
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(read->host_exchange.calls.at(0).invocations, 1u);
  EXPECT_EQ(read->tiles[0].segments[0].data, std::vector<std::uint8_t>{});
  EXPECT_EQ(read->profile_tiles[0].steps[0], ProfileStep{});
  EXPECT_EQ(read->profile_tiles[0].steps[0].kind, ProfileStepKind::Exchange);
}

// A message whose segment data pointers all share one large blob: small on
// the wire, terabytes if every reference became its own copy.
std::vector<std::uint8_t> shared_blob_message(std::size_t blob_bytes, unsigned references) {
  // One segment, so that every pointer can reach the blob directly.
  capnp::MallocMessageBuilder message(static_cast<unsigned>(blob_bytes / 8 + 3 * references + 64));
  auto root = header(message);
  auto segments = root.initTiles(1)[0].initSegments(references);
  std::vector<std::uint8_t> blob(blob_bytes, 0x5a);
  segments[0].setData(kj::arrayPtr(blob.data(), blob.size()));
  kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  EXPECT_EQ(message.getSegmentsForOutput().size(), 1u);

  capnp::FlatArrayMessageReader reader(words);
  fixtures::share_first_pointer(words, reader.getRoot<schema::Application>().getTiles()[0].getSegments());
  auto bytes = words.asBytes();
  return {bytes.begin(), bytes.end()};
}

TEST(Reader, BoundsMemoryOfSharedObjects) {
  std::vector<std::uint8_t> bytes = shared_blob_message(1 << 20, 20000);
  ASSERT_LT(bytes.size(), 2u << 20);
  auto result = Application::read(bytes);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), PackageError::Kind::Capnp);
  EXPECT_NE(result.error().message().find("decode limit exceeded"), std::string::npos) << result.error();

  // The same sharing, few times over, stays inside the bound and decodes.
  auto few = Application::read(shared_blob_message(64, 3));
  ASSERT_FALSE(few.has_value());  // decoded within the bound; validation then rejects the blob
  EXPECT_EQ(few.error().kind(), PackageError::Kind::Invalid);
}

TEST(Reader, ZeroSizedStructuresCannotAmplify) {
  // tiles: a list of 2^29 - 1 zero-sized structures, in one tag word.
  std::vector<std::uint8_t> bytes = sample_fixture();
  put_u64(bytes, word(6), 0x0000000700000000ull | (11u << 2) | 1u);  // composite, 0 words, at word 18
  put_u64(bytes, word(18), (std::uint64_t{0} << 32) | (((1u << 29) - 1) << 2));
  auto result = Application::read(bytes);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), PackageError::Kind::Capnp) << result.error();
}

TEST(Events, WriterAndReader) {
  fixtures::EventLog events;
  std::vector<std::uint8_t> bytes = written(fixtures::rich());
  ASSERT_TRUE(Application::read(bytes).has_value());
  auto records = events.records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].message, "writing application package");
  EXPECT_EQ(records[0].fields, (std::vector<std::pair<std::string, std::string>>{{"tiles", "2"}}));
  EXPECT_EQ(records[1].message, "application package written");
  EXPECT_TRUE(records[1].fields.empty());
  EXPECT_EQ(records[2].message, "reading application package");
  EXPECT_EQ(records[3].message, "application package read");
  EXPECT_EQ(records[3].fields, (std::vector<std::pair<std::string, std::string>>{
                                   {"tiles", "2"}, {"compiler", fixtures::rich().compiler_version}}));
  for (const auto& r : records) {
    EXPECT_EQ(r.level, log::Level::Info);
    EXPECT_EQ(r.target, "vorn_package");
  }
}

TEST(Events, FailedReadEmitsOnlyTheFirst) {
  fixtures::EventLog events;
  const std::uint8_t three[] = {1, 2, 3};
  EXPECT_FALSE(Application::read(three).has_value());
  EXPECT_EQ(events.messages(), std::vector<std::string>{"reading application package"});
}

// The official schema tool as an independent peer.
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(CapnpTool, DecodesOurPackagesAndEncodesOnesWeRead) {
  const std::string dir = testing::TempDir();
  const std::string package = dir + "vorn_sample.pkg";
  {
    std::vector<std::uint8_t> bytes = written(fixtures::sample());
    std::ofstream(package, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  std::string decoded = run(std::string(CAPNP_TOOL) + " decode --short " SCHEMA_DIR "/application.capnp Application < " +
                            package);
  EXPECT_NE(decoded.find("schemaVersion = 5"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("target = \"vorn21\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("tileMemorySize = 638976"), std::string::npos) << decoded;

  const std::string text = dir + "vorn_text.txt";
  std::ofstream(text) << R"((schemaVersion = 5, compilerVersion = "by hand", target = "vorn21",
    tileMemoryBase = 311296, tileMemorySize = 638976,
    tiles = [(physicalTile = 2, segments = [(address = 311296, memorySize = 4, data = "ab", flags = 1)])],
    hostExchange = (pages = [(index = 0, size = 4096)],
                    calls = [(name = "c", outputs = [(page = 0, size = 8)], outputBatchEnds = [1])]),
    debugSymbols = [(name = "s", address = 7)]))";
  const std::string encoded_path = dir + "vorn_text.pkg";
  run(std::string(CAPNP_TOOL) + " encode " SCHEMA_DIR "/application.capnp Application < " + text + " > " +
      encoded_path);
  std::ifstream in(encoded_path, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto read = Application::read(bytes);
  ASSERT_TRUE(read.has_value()) << read.error();
  Application want;
  want.compiler_version = "by hand";
  want.tiles = {TileImage{.physical_tile = 2, .segments = {Segment{0x4c000, 4, {'a', 'b'}, 1}}}};
  want.host_exchange.pages = {{0, 4096}};
  want.host_exchange.calls = {
      HostCall{.name = "c", .outputs = {HostSlice{0, 0, 0, 8}}, .invocations = 1, .output_batch_ends = {1}}};
  want.debug_symbols = {{"s", 7}};
  EXPECT_EQ(*read, want);
}

}  // namespace

namespace {

// Written straight into the caller's vector (aligned end) and through the
// standard builder (unaligned end): the bytes must be the same, also for
// messages of many segments with far pointers and objects of every size.
TEST(Writer, DirectPlacementMatchesTheStandardBuilder) {
  Application big;
  for (std::uint32_t t = 0; t < 24; ++t) {
    TileImage tile{.physical_tile = t};
    std::uint32_t address = 0x4c000;
    for (std::uint32_t size : {1u, 7u, 4096u, 100003u, 0u, 250001u}) {
      tile.segments.push_back(Segment{address, size, std::vector<std::uint8_t>(size, static_cast<std::uint8_t>(t)), t});
      address += size;
    }
    big.tiles.push_back(std::move(tile));
    TileProfilePlan plan{t, {}};
    for (std::uint32_t i = 0; i < 300; ++i) {
      plan.steps.push_back(ProfileStep{.local_index = i, .operation = std::string(i % 40, 'o'), .kernel = "k",
                                       .metadata = {{"m", std::string(i % 17, 'v')}},
                                       .exchange_activities = std::vector<ProfileExchangeActivity>(i % 3)});
    }
    big.profile_tiles.push_back(std::move(plan));
  }
  for (const Application& app : {fixtures::sample(), fixtures::rich(), big}) {
    std::vector<std::uint8_t> direct;
    ASSERT_TRUE(app.write(direct).has_value());
    std::vector<std::uint8_t> standard = {0x77};
    ASSERT_TRUE(app.write(standard).has_value());
    ASSERT_EQ(direct.size() + 1, standard.size());
    EXPECT_TRUE(std::equal(direct.begin(), direct.end(), standard.begin() + 1));
    auto read = Application::read(direct);
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_TRUE(*read == app);
  }
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(big.write(bytes).has_value());
  std::uint32_t segments;
  std::memcpy(&segments, bytes.data(), 4);
  EXPECT_GT(segments + 1, 5u);  // the case that matters: several segments
}

}  // namespace

#include <random>

#include "profile_codec.hpp"

namespace {

// Random shapes: objects of every size, lists that do and do not fit the
// segment at hand, blobs larger than whole segments.
Application random_shape(std::mt19937& random) {
  auto n = [&](std::size_t max) { return std::uniform_int_distribution<std::size_t>(0, max)(random); };
  auto text = [&](std::size_t max) { return std::string(n(max), 'x'); };
  Application app;
  app.compiler_version = text(40);
  for (std::size_t t = n(6); t > 0; --t) {
    TileImage tile;
    for (std::size_t s = n(5); s > 0; --s) {
      std::size_t size = n(3) == 0 ? n(300000) : n(100);
      tile.segments.push_back(Segment{.data = std::vector<std::uint8_t>(size, 1)});
    }
    app.tiles.push_back(std::move(tile));
  }
  for (auto* list : {&app.inputs, &app.outputs, &app.weights}) {
    for (std::size_t b = n(4); b > 0; --b) {
      list->push_back(Binding{.name = text(30), .dtype = text(9), .shape = std::vector<std::uint32_t>(n(5)),
                              .slices = std::vector<RegionSlice>(n(6))});
    }
  }
  for (std::size_t p = n(3); p > 0; --p) app.host_exchange.pages.push_back(HostPage{});
  app.host_exchange.attach_order.resize(n(7));
  for (std::size_t c = n(3); c > 0; --c) {
    app.host_exchange.calls.push_back(HostCall{.name = text(20), .inputs = std::vector<HostSlice>(n(70)),
                                               .outputs = std::vector<HostSlice>(n(3)),
                                               .input_batch_ends = std::vector<std::uint32_t>(n(3)),
                                               .output_batch_ends = std::vector<std::uint32_t>(n(5))});
  }
  for (std::size_t e = n(3); e > 0; --e) app.entry_points.push_back(EntryPoint{.name = text(12)});
  app.device_config_writes.resize(n(300));
  for (std::size_t p = n(4); p > 0; --p) {
    TileProfilePlan plan;
    for (std::size_t s = n(400); s > 0; --s) {
      plan.steps.push_back(ProfileStep{.operation = text(30), .kernel = text(30),
                                       .metadata = std::vector<ProfileMetadata>(n(2), ProfileMetadata{text(9), text(20)}),
                                       .exchange_activities = std::vector<ProfileExchangeActivity>(n(3))});
    }
    app.profile_tiles.push_back(std::move(plan));
  }
  for (std::size_t s = n(3); s > 0; --s) app.debug_symbols.push_back(DebugSymbol{.name = text(16)});
  for (std::size_t r = n(3); r > 0; --r) app.debug_regions.push_back(DebugRegion{.name = text(16)});
  return app;
}

// The writer places segments where it predicts the standard builder makes
// them; the prediction must be exact, or the writer falls back to copying.
TEST(Writer, SegmentPlanPredictsTheStandardBuilder) {
  std::mt19937 random(7);
  std::vector<Application> apps = {fixtures::sample(), fixtures::rich(), Application{}};
  for (int i = 0; i < 150; ++i) apps.push_back(random_shape(random));
  std::size_t multi_segment = 0;
  for (const Application& app : apps) {
    capnp::MallocMessageBuilder message;
    detail::put_application(message, app);
    std::vector<std::uint32_t> actual = detail::segment_sizes(message);
    ASSERT_EQ(detail::plan_application(app), actual) << app;
    multi_segment += actual.size() > 2;

    ProfileReport report{.clock_hz = 1};
    for (const TileProfilePlan& plan : app.profile_tiles) {
      TileProfile tile;
      for (const ProfileStep& step : plan.steps) tile.samples.push_back(CycleSample{step, 1, 2});
      report.tiles.push_back(std::move(tile));
    }
    capnp::MallocMessageBuilder report_message;
    detail::put_report(report_message, report);
    ASSERT_EQ(detail::plan_report(report), detail::segment_sizes(report_message));
  }
  EXPECT_GT(multi_segment, 50u);
}

}  // namespace
