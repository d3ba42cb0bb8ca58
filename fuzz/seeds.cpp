// Writes seed inputs for the fuzz targets into DIR/package, DIR/report and
// DIR/synthesis: valid files of several shapes and the hostile messages the
// reader must refuse.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "fixtures.hpp"

namespace {

using namespace vorn_package;
namespace fs = std::filesystem;

void save(const fs::path& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<std::uint8_t> written(const Application& app) {
  std::vector<std::uint8_t> bytes;
  if (!app.write(bytes)) std::abort();
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const fs::path root(argv[1]);

  // Packages.
  Application with_plan = fixtures::sample();
  with_plan.profile_tiles = {TileProfilePlan{0, {ProfileStep{.operation = "op", .kind = ProfileStepKind::Compute,
                                                             .metadata = {{"a", "b"}},
                                                             .exchange_activities = {{ProfileExchangeActivityKind::Send, 1, 2}}}}}};
  with_plan.outputs = {Binding{.name = "profile.cycles", .dtype = "u32", .slices = {{0, 0x4c000, 0, 8}}}};
  const std::vector<std::uint8_t> sample = written(fixtures::sample());
  save(root / "package", "sample", sample);
  save(root / "package", "rich", written(fixtures::rich()));
  save(root / "package", "plan", written(with_plan));
  // Hostile: truncated, over-announcing, too many segments, bad header.
  save(root / "package", "truncated", std::vector<std::uint8_t>(sample.begin(), sample.end() - 8));
  std::vector<std::uint8_t> bytes = sample;
  bytes[4] = 0xff;
  bytes[7] = 0x0f;
  save(root / "package", "over-announcing", bytes);
  bytes = sample;
  bytes[0] = 0xff;
  bytes[1] = 0x01;
  save(root / "package", "many-segments", bytes);
  bytes = sample;
  bytes[16] = 4;
  save(root / "package", "version-4", bytes);

  // Reports.
  ProfileReport report = *with_plan.profile_report(std::vector<std::uint8_t>{1, 0, 0, 0, 9, 0, 0, 0}, 1500000000);
  std::vector<std::uint8_t> report_bytes;
  if (!report.write(report_bytes)) return 1;
  save(root / "report", "report", report_bytes);
  report_bytes.clear();
  if (!(ProfileReport{7, {}}).write(report_bytes)) return 1;
  save(root / "report", "empty", report_bytes);
  save(root / "report", "package-as-report", sample);

  // Synthesis programs: outputs, slices, plans, then the runtime output.
  save(root / "synthesis", "one-tile",
       {2, 1, 1, 0, 0, 3, 0, 1, 0, 0, 12, 1, 0, 2, 0xa5, 0xa5, 0xa5, 100, 0, 0, 0, 250, 0, 0, 0, 144, 1, 0, 0});
  save(root / "synthesis", "missing", {1, 1, 1, 3, 0, 4, 2, 3, 1, 5, 6});
  return 0;
}
