#include <sstream>

#include <gtest/gtest.h>

#include "fixtures.hpp"

using namespace vorn_package;

namespace {

template <class T>
std::string text(const T& v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

TEST(Records, DefaultsAndEquality) {
  EXPECT_EQ(Application{}, Application{});
  EXPECT_EQ(Application{}.compiler_version, "0.1.0");
  Application unnamed;
  unnamed.compiler_version = "";
  EXPECT_NE(unnamed, Application{});
  EXPECT_EQ(HostExchange{}, (HostExchange{0, 0, 0, {}, {}, {}}));
}

TEST(Records, ListOrderIsSignificant) {
  Application a = fixtures::rich();
  Application b = a;
  EXPECT_EQ(a, b);
  std::swap(b.tiles[0], b.tiles[1]);
  EXPECT_NE(a, b);

  ProfileStep s1 = a.profile_tiles[1].steps[0];
  ProfileStep s2 = s1;
  std::swap(s2.metadata[0], s2.metadata[1]);
  EXPECT_NE(s1, s2);
  s2 = s1;
  std::swap(s2.exchange_activities[0], s2.exchange_activities[1]);
  EXPECT_NE(s1, s2);
  EXPECT_NE((ProfileReport{1, {}}), (ProfileReport{2, {}}));
}

TEST(Records, CopiesAreDeep) {
  Application app = fixtures::sample();
  Segment copy = app.tiles[0].segments[0];
  app.tiles[0].segments.push_back(copy);
  app.tiles[0].segments[1].data.push_back(9);
  EXPECT_EQ(app.tiles[0].segments[0].data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(copy, app.tiles[0].segments[0]);

  ProfileStep step{.operation = "op"};
  CycleSample sample{step, 1, 2};
  step.metadata.push_back({"a", "b"});
  EXPECT_TRUE(sample.step.metadata.empty());
}

TEST(Records, BindingSize) {
  struct Case {
    std::vector<RegionSlice> slices;
    std::uint64_t size;
  };
  const Case cases[] = {
      {{}, 0},
      {{{0, 0, 0, 16}, {0, 0, 16, 16}}, 32},
      {{{0, 0, 16, 16}, {0, 0, 0, 16}}, 32},
      {{{0, 0, 100, 0}, {0, 0, 0, 16}}, 100},
      {{{0, 0, 0xFFFFFFFFFFFFFFF0u, 0x20}}, UINT64_MAX},  // saturates, no error
  };
  for (const Case& c : cases) {
    EXPECT_EQ(binding_size(Binding{.name = "b", .slices = c.slices}), c.size) << testing::PrintToString(c.slices);
  }
}

TEST(Records, DiagnosticTextOfNestedRecord) {
  const TileProfilePlan plan{
      .physical_tile = 4,
      .steps = {ProfileStep{.local_index = 0, .operation = "op", .kind = ProfileStepKind::Compute,
                            .metadata = {{"n", "v"}},
                            .exchange_activities = {{ProfileExchangeActivityKind::PartnerBusy, 1, 2}}}}};
  EXPECT_EQ(text(plan),
            "TileProfilePlan { physical_tile: 4, steps: [ProfileStep { local_index: 0, phase: 0, epoch: 0, "
            "operation: \"op\", kind: Compute, kernel: \"\", metadata: [ProfileMetadata { name: \"n\", value: \"v\" }], "
            "exchange_activities: [ProfileExchangeActivity { kind: PartnerBusy, start_cycle: 1, end_cycle: 2 }], "
            "exchange_event_cycles: 0 }] }");
  EXPECT_EQ(text(Segment{.address = 1, .memory_size = 2, .data = {0, 255}, .flags = 3}),
            "Segment { address: 1, memory_size: 2, data: [0, 255], flags: 3 }");
  EXPECT_EQ(text(HostExchange{}),
            "HostExchange { startup_mark: 0, command_page: 0, command_offset: 0, pages: [], attach_order: [], calls: [] }");
}

TEST(Errors, KindsPayloadsAndText) {
  PackageError invalid = PackageError::invalid("incompatible package header");
  EXPECT_EQ(invalid.kind(), PackageError::Kind::Invalid);
  EXPECT_EQ(text(invalid), "Invalid(\"incompatible package header\")");
  EXPECT_EQ(invalid, PackageError::invalid("incompatible package header"));
  EXPECT_NE(invalid, PackageError::invalid("other"));

  PackageError e = PackageError::schema_enum(4);
  EXPECT_EQ(e.schema_enum_value(), 4);
  EXPECT_EQ(text(e), "SchemaEnum(4)");
  EXPECT_FALSE(invalid.schema_enum_value());

  PackageError u = PackageError::utf8(Utf8Error{3, 1});
  ASSERT_NE(u.utf8(), nullptr);
  EXPECT_EQ(u.utf8()->valid_up_to, 3u);
  EXPECT_EQ(text(u), "Utf8(invalid utf-8 sequence of 1 bytes from index 3)");
  EXPECT_EQ(text(PackageError::utf8(Utf8Error{2, std::nullopt})), "Utf8(incomplete utf-8 byte sequence from index 2)");

  PackageError c = PackageError::capnp(CapnpErrorKind::Failed, "Message ends prematurely.");
  EXPECT_EQ(c.capnp_kind(), CapnpErrorKind::Failed);
  EXPECT_EQ(text(c), "Capnp(Failed: Message ends prematurely.)");

  PackageError io = PackageError::io(std::make_error_code(std::errc::no_such_file_or_directory));
  EXPECT_EQ(io.kind(), PackageError::Kind::Io);
  EXPECT_EQ(io.io_error(), std::make_error_code(std::errc::no_such_file_or_directory));
}

TEST(Log, SinkReceivesEnabledLevelsOnly) {
  EXPECT_FALSE(log::enabled(log::Level::Error));  // no sink by default
  {
    fixtures::EventLog events(log::Level::Info);
    EXPECT_TRUE(log::enabled(log::Level::Info));
    EXPECT_FALSE(log::enabled(log::Level::Trace));
    const log::Field fields[] = {{"n", std::uint64_t{7}}, {"s", std::string_view("x")}};
    log::emit(log::Level::Info, "hello", fields);
    log::emit(log::Level::Trace, "hidden");
    auto records = events.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].target, "vorn_package");
    EXPECT_EQ(records[0].message, "hello");
    EXPECT_EQ(records[0].fields, (std::vector<std::pair<std::string, std::string>>{{"n", "7"}, {"s", "x"}}));
  }
  EXPECT_FALSE(log::enabled(log::Level::Error));
}

}  // namespace
