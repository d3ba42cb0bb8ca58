// The README's usage example, compiled and run against the installed package.
#include <cstdio>
#include <vorn_package/vorn_package.hpp>

int main(int argc, char** argv) {
  using namespace vorn_package;
  Application app;  // compiler_version "0.1.0", everything else empty
  app.tiles.push_back(TileImage{
      .physical_tile = 0,
      .segments = {Segment{.address = 0x4c000, .memory_size = 8, .data = {1, 2, 3, 4}}},
  });

  std::vector<std::uint8_t> bytes;
  if (auto written = app.write(bytes); !written) {
    std::fprintf(stderr, "write: %s\n", written.error().message().c_str());
    return 1;
  }
  auto loaded = Application::read(bytes);
  if (!loaded) {
    std::fprintf(stderr, "read: %s\n", loaded.error().message().c_str());
    return 1;
  }
  auto image = loaded->tile_image(0);
  if (!image) return 1;
  std::printf("%zu package bytes, tile 0 image of %zu bytes\n", bytes.size(), image->size());
  if (*loaded != app) return 1;

  // A profile report for the schema tool to decode, when asked for.
  if (argc > 1) {
    ProfileReport report{.clock_hz = 1500000000,
                         .tiles = {TileProfile{.physical_tile = 17,
                                               .samples = {CycleSample{ProfileStep{.operation = "accumulate"}, 4294967285u, 7}}}}};
    std::vector<std::uint8_t> report_bytes;
    if (!report.write(report_bytes)) return 1;
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) return 1;
    std::fwrite(report_bytes.data(), 1, report_bytes.size(), f);
    std::fclose(f);
  }
  return 0;
}
