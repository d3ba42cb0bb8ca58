// Package reader: any input gives an application or a PackageError; an
// application it returns writes, reads back equal, and rebuilds every tile.
#include <cstdlib>

#include <vorn_package/vorn_package.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorn_package;
  auto app = Application::read(std::span(data, size));
  if (!app) return 0;
  std::vector<std::uint8_t> bytes;
  if (!app->write(bytes)) std::abort();
  auto again = Application::read(bytes);
  if (!again || !(*again == *app)) std::abort();
  for (const TileImage& tile : app->tiles) {
    if (tile.segments.empty()) continue;  // valid, and has no image
    if (!app->tile_image(tile.physical_tile)) std::abort();
  }
  return 0;
}
