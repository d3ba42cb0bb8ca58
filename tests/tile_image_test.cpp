#include <gtest/gtest.h>

#include "fixtures.hpp"

using namespace vorn_package;

namespace {

Application tile_with(std::vector<Segment> segments, std::uint32_t tile = 0) {
  Application app;
  app.tiles.push_back(TileImage{.physical_tile = tile, .segments = std::move(segments)});
  return app;
}

TEST(TileImage, SampleImageAndItsEvent) {
  fixtures::EventLog events;
  auto image = fixtures::sample().tile_image(0);
  ASSERT_TRUE(image.has_value()) << image.error();
  EXPECT_EQ(*image, (std::vector<std::uint8_t>{1, 2, 3, 4, 0, 0, 0, 0}));
  auto records = events.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::Level::Trace);
  EXPECT_EQ(records[0].target, "vorn_package");
  EXPECT_EQ(records[0].message, "reconstructing tile image");
  EXPECT_EQ(records[0].fields, (std::vector<std::pair<std::string, std::string>>{
                                   {"physical_tile", "0"}, {"load_base", "0x4c000"}, {"image_bytes", "8"}}));
}

TEST(TileImage, GapsAndUnorderedSegments) {
  Application app = tile_with({Segment{.address = 0x4c100, .memory_size = 4, .data = {5, 6, 7, 8}, .flags = 0xFF},
                               Segment{.address = 0x4c000, .memory_size = 8, .data = {1, 2}}});
  auto image = app.tile_image(0);
  ASSERT_TRUE(image.has_value()) << image.error();
  std::vector<std::uint8_t> want(0x104, 0);
  want[0] = 1;
  want[1] = 2;
  want[0x100] = 5;
  want[0x101] = 6;
  want[0x102] = 7;
  want[0x103] = 8;
  EXPECT_EQ(*image, want);
}

TEST(TileImage, ZeroSizedSegments) {
  fixtures::EventLog events;
  // An empty segment below the others lowers the load base.
  auto image = tile_with({Segment{.address = 0x4c010, .memory_size = 2, .data = {9}},
                          Segment{.address = 0x4c00c, .memory_size = 0}})
                   .tile_image(0);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(*image, (std::vector<std::uint8_t>{0, 0, 0, 0, 9, 0}));
  EXPECT_EQ(events.records().at(0).fields.at(1).second, "0x4c00c");

  auto empty = tile_with({Segment{.address = 0x4c000, .memory_size = 0}}).tile_image(0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

TEST(TileImage, Errors) {
  fixtures::EventLog events;
  EXPECT_EQ(fixtures::sample().tile_image(3).error(), PackageError::invalid("unknown tile 3"));
  EXPECT_EQ(tile_with({}, 4).tile_image(4).error(), PackageError::invalid("tile has no loadable segments"));
  EXPECT_TRUE(events.records().empty());  // no event when the tile is not found or empty

  // Unvalidated applications: an error, never a write outside the image.
  EXPECT_EQ(tile_with({Segment{.address = 0x4c000, .memory_size = 2, .data = {1, 2, 3}}}).tile_image(0).error(),
            PackageError::invalid("segment at 0x4c000 on tile 0 holds 3 data bytes but has memory size 2"));
  EXPECT_EQ(tile_with({Segment{.address = 0x10, .memory_size = 1},
                       Segment{.address = 0xFFFFFFF0, .memory_size = 0x20}})
                .tile_image(0)
                .error(),
            PackageError::invalid("segment at 0xfffffff0 on tile 0 extends past the 32-bit address space"));
}

TEST(TileImage, FirstOfDuplicateTilesAndOverlapsInListOrder) {
  Application app = tile_with({Segment{.address = 0x4c000, .memory_size = 4, .data = {1, 1, 1, 1}},
                               Segment{.address = 0x4c002, .memory_size = 4, .data = {2, 2}}});
  app.tiles.push_back(TileImage{.physical_tile = 0, .segments = {Segment{.address = 0x4c000, .memory_size = 1}}});
  auto image = app.tile_image(0);
  ASSERT_TRUE(image.has_value());
  // Overlapping memory (never after validation): later segments win.
  EXPECT_EQ(*image, (std::vector<std::uint8_t>{1, 1, 2, 2, 0, 0}));
}

}  // namespace
