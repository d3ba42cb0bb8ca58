// Reference for the command-line tool's images: Application::tile_image of
// one tile, written to a file.   tile_image_dump PACKAGE TILE OUT
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <vorn_package/vorn_package.hpp>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto app = vorn_package::Application::read(bytes);
  if (!app) return 1;
  auto image = app->tile_image(static_cast<std::uint32_t>(std::stoul(argv[2])));
  if (!image) return 1;
  std::ofstream(argv[3], std::ios::binary).write(reinterpret_cast<const char*>(image->data()), image->size());
  return 0;
}
