// Profile report reader: a report or a PackageError; a report it returns
// writes and reads back equal.
#include <cstdlib>

#include <vorn_package/vorn_package.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorn_package;
  auto report = ProfileReport::read(std::span(data, size));
  if (!report) return 0;
  std::vector<std::uint8_t> bytes;
  if (!report->write(bytes)) std::abort();
  auto again = ProfileReport::read(bytes);
  if (!again || !(*again == *report)) std::abort();
  return 0;
}
