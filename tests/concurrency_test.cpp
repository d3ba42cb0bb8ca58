// Any number of threads may call any operation at once on inputs nobody
// modifies, also while a log sink comes and goes.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "fixtures.hpp"

using namespace vorn_package;

namespace {

struct Results {
  std::vector<std::uint8_t> written;
  Application read;
  std::vector<std::vector<std::uint8_t>> images;
  ProfileReport report;
  friend bool operator==(const Results&, const Results&) = default;
};

TEST(Concurrency, SharedInputsGiveTheSameResultsOnEveryThread) {
  Application app = fixtures::rich();
  app.outputs.push_back(Binding{.name = "profile.cycles", .slices = {{3, 0x4c000, 0, 4}, {0xFFFFFFFE, 0x4c000, 4, 12}}});
  const Application& shared = app;
  const std::vector<std::uint8_t> package = [&] {
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(shared.write(bytes).has_value());
    return bytes;
  }();
  const std::vector<std::uint8_t> runtime_output(4096, 0x11);  // the rich outputs take 4 + ... bytes

  auto run = [&]() -> Results {
    Results r;
    if (!shared.write(r.written)) return {};
    auto read = Application::read(package);
    if (!read || !read->validate()) return {};
    r.read = *read;
    for (const TileImage& tile : shared.tiles) {
      if (tile.segments.empty()) continue;
      r.images.push_back(*shared.tile_image(tile.physical_tile));
    }
    auto report = shared.profile_report(runtime_output, 7);
    if (report) r.report = *report;
    return r;
  };
  const Results expected = run();
  ASSERT_EQ(expected.read, app);
  ASSERT_FALSE(expected.images.empty());

  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> events{0};
  std::thread toggler([&] {
    while (!done.load()) {
      log::set_sink([&](const log::Event&) { events.fetch_add(1, std::memory_order_relaxed); }, log::Level::Trace);
      std::this_thread::yield();
      log::set_sink(nullptr);
    }
  });
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        if (!(run() == expected)) mismatches.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  done = true;
  toggler.join();
  log::set_sink(nullptr);
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
