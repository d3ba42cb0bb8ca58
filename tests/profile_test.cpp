#include <cstring>
#include <functional>

#include <capnp/any.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "fixtures.hpp"
#include "application.capnp.h"
#include "profile.capnp.h"

using namespace vorn_package;

namespace {

void append_le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

ProfileStep step(std::uint32_t index) {
  return ProfileStep{.local_index = index, .operation = "op." + std::to_string(index), .kind = ProfileStepKind::Compute};
}

Binding output(std::string name, std::vector<RegionSlice> slices) {
  return Binding{.name = std::move(name), .dtype = "u8", .shape = {}, .slices = std::move(slices)};
}

RegionSlice slice(std::uint32_t tile, std::uint64_t file_offset, std::uint64_t size) {
  return RegionSlice{.tile = tile, .tile_address = 0x4c100, .file_offset = file_offset, .size = size};
}

// The worked example: 3 bytes of "prefix", then the counters 100, 250, 400 of
// tile 4, whose plan has two steps.
struct Example {
  Application app;
  std::vector<std::uint8_t> output;
};

Example example() {
  Example e;
  e.app.outputs = {output("prefix", {slice(0, 0, 3)}), output("profile.cycles", {slice(4, 0, 12)})};
  e.app.profile_tiles = {TileProfilePlan{4, {step(0), step(1)}}};
  e.output = {0xa5, 0xa5, 0xa5};
  for (std::uint32_t c : {100u, 250u, 400u}) append_le32(e.output, c);
  return e;
}

TEST(ProfileReportSynthesis, WorkedExample) {
  Example e = example();
  auto report = e.app.profile_report(e.output, 1000);
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_EQ(*report, (ProfileReport{1000, {TileProfile{4, {CycleSample{step(0), 100, 250},
                                                            CycleSample{step(1), 250, 400}}}}}));

  // Any alignment of the runtime output.
  std::vector<std::uint8_t> shifted(e.output.size() + 1);
  std::memcpy(shifted.data() + 1, e.output.data(), e.output.size());
  auto unaligned = e.app.profile_report(std::span(shifted).subspan(1), 1000);
  ASSERT_TRUE(unaligned.has_value());
  EXPECT_EQ(*unaligned, *report);
}

TEST(ProfileReportSynthesis, FailuresInOrderWithExactMessages) {
  struct Case {
    const char* what;
    std::function<void(Example&)> edit;
    const char* message;
  };
  const Case cases[] = {
      {"no counter binding, no plans",
       [](Example& e) { e.app.outputs.pop_back(); e.app.profile_tiles.clear(); },
       "application has no cycle profile binding"},
      {"base offset overflows before the binding is missed",
       [](Example& e) {
         e.app.outputs = {output("a", {slice(0, UINT64_MAX, 1)}), output("b", {slice(0, 0, 1)})};
       },
       "output binding size overflow"},
      {"plan without slice", [](Example& e) { e.app.profile_tiles[0].physical_tile = 5; },
       "cycle profile has no slice for tile 5"},
      {"slice too small for the steps", [](Example& e) { e.app.outputs[1].slices[0].size = 8; },
       "cycle profile slice for tile 4 has size 8, expected 12"},
      {"plan without steps needs 4 bytes", [](Example& e) { e.app.profile_tiles[0].steps.clear(); },
       "cycle profile slice for tile 4 has size 12, expected 4"},
      {"later plan checked after earlier ones pass",
       [](Example& e) { e.app.profile_tiles.push_back(TileProfilePlan{9, {}}); },
       "cycle profile has no slice for tile 9"},
      {"range one byte past the output", [](Example& e) { e.output.pop_back(); },
       "profile binding exceeds runtime output"},
      {"start past 64 bits", [](Example& e) { e.app.outputs[1].slices[0].file_offset = UINT64_MAX - 2; },
       "profile output offset overflow"},
      {"end past 64 bits",
       [](Example& e) {
         e.app.outputs[0].slices.clear();
         e.app.outputs[1].slices[0].file_offset = UINT64_MAX - 4;
       },
       "profile output range overflow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Example e = example();
    c.edit(e);
    auto report = e.app.profile_report(e.output, 1);
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error(), PackageError::invalid(c.message));
  }
}

TEST(ProfileReportSynthesis, BindingPlacement) {
  // The counter binding second, a second binding of that name ignored, and a
  // preceding binding without slices counting 0 bytes.
  Application app;
  app.outputs = {output("empty", {}), output("first", {slice(0, 4, 4), slice(0, 0, 2)}),
                 output("profile.cycles", {slice(1, 0, 8), slice(2, 8, 4)}),
                 output("profile.cycles", {slice(1, 100, 8)})};
  app.profile_tiles = {TileProfilePlan{1, {step(0)}}, TileProfilePlan{2, {}}};
  std::vector<std::uint8_t> out(8, 0xee);
  for (std::uint32_t c : {7u, 7u, 3u}) append_le32(out, c);  // equal and decreasing taken as read
  auto report = app.profile_report(out, 5);
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_EQ(*report, (ProfileReport{5, {TileProfile{1, {CycleSample{step(0), 7, 7}}}, TileProfile{2, {}}}}));

  // Without plans: the caller's clock and no tiles.
  app.profile_tiles.clear();
  EXPECT_EQ(*app.profile_report({}, 77), (ProfileReport{77, {}}));
}

TEST(ProfileReportSynthesis, LaterSliceOfATileWins) {
  Application app;
  app.outputs = {output("profile.cycles", {slice(0, 0, 4), slice(0, 4, 12)})};
  app.profile_tiles = {TileProfilePlan{0, {step(0), step(1)}}};
  std::vector<std::uint8_t> out;
  for (std::uint32_t c : {1u, 0xfffffff0u, 5u, 0u}) append_le32(out, c);  // a wrapped counter too
  auto report = app.profile_report(out, 1);
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_EQ(report->tiles.at(0).samples,
            (std::vector<CycleSample>{{step(0), 0xfffffff0u, 5}, {step(1), 5, 0}}));
}

ProfileReport every_kind_report() {
  ProfileReport report{.clock_hz = UINT64_MAX, .tiles = {}};
  const ProfileStepKind kinds[] = {ProfileStepKind::Exchange, ProfileStepKind::Compute,
                                   ProfileStepKind::Synchronization, ProfileStepKind::Idle};
  TileProfile tile{.physical_tile = 0xFFFFFFFF, .samples = {}};
  for (std::uint32_t i = 0; i < 4; ++i) {
    ProfileStep s{.local_index = i, .phase = i * 3, .epoch = 0xFFFFFFFF, .operation = "op \xc3\xa9", .kind = kinds[i],
                  .kernel = i ? "k" : "", .metadata = {{"n", "v"}, {"", "\xe2\x82\xac"}}, .exchange_activities = {},
                  .exchange_event_cycles = i};
    if (i == 0) {
      s.exchange_activities = {{ProfileExchangeActivityKind::Send, 9, 2},
                               {ProfileExchangeActivityKind::Receive, 0, 0xFFFFFFFF},
                               {ProfileExchangeActivityKind::PartnerBusy, 1, 1}};
    }
    tile.samples.push_back(CycleSample{s, 0xfffffff5u + i, i + 7});
  }
  report.tiles = {tile, TileProfile{3, {}}};
  return report;
}

TEST(ProfileReportFile, RoundTripsAndAppends) {
  const ProfileReport report = every_kind_report();
  std::vector<std::uint8_t> bytes = {9, 9, 9};
  ASSERT_TRUE(report.write(bytes).has_value());
  EXPECT_EQ(bytes[0], 9);
  auto read = ProfileReport::read(std::span(bytes).subspan(3));
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, report);

  std::vector<std::uint8_t> again;
  ASSERT_TRUE(report.write(again).has_value());
  EXPECT_EQ(again, std::vector<std::uint8_t>(bytes.begin() + 3, bytes.end()));
}

TEST(ProfileReportFile, ReportWithoutTiles) {
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE((ProfileReport{1500000000, {}}).write(bytes).has_value());
  auto words = kj::ArrayPtr<const capnp::word>(reinterpret_cast<const capnp::word*>(bytes.data()), bytes.size() / 8);
  capnp::FlatArrayMessageReader message(words);
  auto root = message.getRoot<profile_capnp::Profile>();
  EXPECT_EQ(root.getSchemaVersion(), 5u);
  EXPECT_EQ(root.getClockHz(), 1500000000u);
  EXPECT_TRUE(root.hasTiles());
  EXPECT_EQ(root.getTiles().size(), 0u);
  EXPECT_EQ(*ProfileReport::read(bytes), (ProfileReport{1500000000, {}}));
}

std::vector<std::uint8_t> report_message(std::uint32_t version,
                                         const std::function<void(profile_capnp::Profile::Builder)>& edit = {}) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<profile_capnp::Profile>();
  root.setSchemaVersion(version);
  root.setClockHz(10);
  if (edit) edit(root);
  kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  return {words.asBytes().begin(), words.asBytes().end()};
}

TEST(ProfileReportFile, Versions) {
  for (std::uint32_t version : {1u, 4u, 5u}) {
    auto read = ProfileReport::read(report_message(version));
    ASSERT_TRUE(read.has_value()) << version << ": " << read.error();
    EXPECT_EQ(*read, (ProfileReport{10, {}}));
  }
  for (std::uint32_t version : {0u, 6u}) {
    auto read = ProfileReport::read(report_message(version));
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), PackageError::invalid("unsupported profile schema version " + std::to_string(version)));
  }
  // A null root reads as version 0.
  std::vector<std::uint8_t> null_root = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ProfileReport::read(null_root).error(), PackageError::invalid("unsupported profile schema version 0"));
}

TEST(ProfileReportFile, NullStepReadsAsDefault) {
  auto read = ProfileReport::read(report_message(5, [](auto root) {
    auto sample = root.initTiles(1)[0].initSamples(1)[0];
    sample.setStartCycle(1);
    sample.setEndCycle(2);
  }));
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(read->tiles.at(0).samples.at(0), (CycleSample{ProfileStep{}, 1, 2}));
}

TEST(ProfileReportFile, RejectsMalformedReports) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    PackageError::Kind kind;
    std::optional<PackageError> error;
  };
  auto with_step = [](const std::function<void(profile_capnp::ProfileStep::Builder)>& edit) {
    return report_message(5, [&](auto root) { edit(root.initTiles(1)[0].initSamples(1)[0].initStep()); });
  };
  std::vector<std::uint8_t> truncated = report_message(5, [](auto root) { root.initTiles(3); });
  truncated.resize(truncated.size() - 8);
  const Case cases[] = {
      {"empty", {}, PackageError::Kind::Capnp, std::nullopt},
      {"truncated", truncated, PackageError::Kind::Capnp, std::nullopt},
      {"step kind 4", with_step([](auto s) { s.setKind(static_cast<profile_capnp::StepKind>(4)); }),
       PackageError::Kind::SchemaEnum, PackageError::schema_enum(4)},
      {"activity kind 3",
       with_step([](auto s) {
         s.initExchangeActivities(1)[0].setKind(static_cast<profile_capnp::ExchangeActivityKind>(3));
       }),
       PackageError::Kind::SchemaEnum, PackageError::schema_enum(3)},
      {"kernel not UTF-8", with_step([](auto s) { s.setKernel("ok\xc0\xaf"); }), PackageError::Kind::Utf8,
       PackageError::utf8(Utf8Error{2, 1})},
      {"metadata value cut inside a sequence",
       with_step([](auto s) { s.initMetadata(1)[0].setValue("\xf0\x9f\x9a"); }), PackageError::Kind::Utf8,
       PackageError::utf8(Utf8Error{0, std::nullopt})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto read = ProfileReport::read(c.bytes);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().kind(), c.kind) << read.error();
    if (c.error) {
      EXPECT_EQ(read.error(), *c.error);
    }
  }
}

TEST(ProfileReportFile, PlanStepsDecodeThroughTheReportSchema) {
  // One step structure, encoded by the package writer, read as a report step:
  // the layouts are the same.
  Application app = fixtures::rich();
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(app.write(bytes).has_value());
  auto words = kj::ArrayPtr<const capnp::word>(reinterpret_cast<const capnp::word*>(bytes.data()), bytes.size() / 8);
  capnp::FlatArrayMessageReader message(words);
  auto plan_steps = message.getRoot<application_capnp::Application>().getProfileTiles()[1].getSteps();
  auto as_report = capnp::AnyStruct::Reader(plan_steps[0]).template as<profile_capnp::ProfileStep>();
  EXPECT_EQ(as_report.getOperation(), app.profile_tiles[1].steps[0].operation);
  EXPECT_EQ(static_cast<int>(as_report.getKind()), static_cast<int>(ProfileStepKind::Idle));
  EXPECT_EQ(as_report.getExchangeActivities()[0].getStartCycle(), 0xFFFFFFFFu);
  EXPECT_EQ(as_report.getExchangeEventCycles(), 0xFFFFFFFFu);
}

}  // namespace
