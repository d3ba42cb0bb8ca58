// vorn-package: inspect, validate, extract and profile vorn21 application
// packages, and show their profile reports.

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli.hpp"

int main(int argc, char** argv) {
  using namespace cli;
  CLI::App app{"Inspect, validate, extract and profile vorn21 application packages", "vorn-package"};
  app.require_subcommand(1);
  int verbosity = 0;
  app.add_flag("-v,--verbose", verbosity, "Library events to stderr (-v: INFO, -vv: TRACE)");

  std::string package, other, out, runtime_output, tiles_list;
  std::vector<std::string> packages;
  bool json = false, all = false;
  std::uint32_t tile = 0, example_tiles = 4, example_steps = 8;
  std::uint64_t clock_hz = 0;
  std::size_t top = 10;

  auto* inspect = app.add_subcommand("inspect", "Summary of a package, like readelf");
  inspect->add_option("PACKAGE", package)->required();
  inspect->add_flag("--json", json, "One JSON document");

  auto* validate = app.add_subcommand("validate", "Check packages: PATH: ok, or the first broken rule");
  validate->add_option("PACKAGE", packages)->required();

  auto* image = app.add_subcommand("image", "Flat load image of a tile, like objcopy -O binary");
  image->add_option("PACKAGE", package)->required();
  auto* tile_option = image->add_option("--tile", tile, "Physical tile");
  auto* all_option = image->add_flag("--all", all, "Every tile, one file per tile in the -o directory");
  tile_option->excludes(all_option);
  image->add_option("-o,--output", out, "Output file (or directory with --all)")->required();

  auto* profile = app.add_subcommand("profile", "Make the profile report of a run");
  profile->add_option("PACKAGE", package)->required();
  profile->add_option("RUNTIME_OUTPUT", runtime_output)->required();
  profile->add_option("--clock-hz", clock_hz, "Clock frequency of the cycle counters")->required();
  profile->add_option("-o,--output", out, "Report file")->required();

  auto* report = app.add_subcommand("report", "Summary of a profile report: per tile, per kind, top kernels");
  report->add_option("REPORT", package)->required();
  report->add_option("--top", top, "Kernels and operations to list")->capture_default_str();
  report->add_flag("--json", json, "One JSON document");

  auto* trace = app.add_subcommand("trace", "Chrome Trace Event JSON for Perfetto or chrome://tracing");
  trace->add_option("REPORT", package)->required();
  trace->add_option("-o,--output", out, "trace.json, or trace.json.gz for gzip")->required();
  trace->add_option("--tiles", tiles_list, "Tiles to include, e.g. 0,4,10-19");

  auto* timeline = app.add_subcommand("timeline", "SVG Gantt chart of a profile report");
  timeline->add_option("REPORT", package)->required();
  timeline->add_option("-o,--output", out, "SVG file")->required();

  auto* diff = app.add_subcommand("diff", "Semantic difference of two packages (exit 1 when they differ)");
  diff->add_option("OLD", package)->required();
  diff->add_option("NEW", other)->required();
  diff->add_flag("--json", json, "One JSON document");

  auto* example = app.add_subcommand("example", "Write a demonstration package and runtime output");
  example->add_option("-o,--output", out, "Directory")->required();
  example->add_option("--tiles", example_tiles, "Tiles")->capture_default_str();
  example->add_option("--steps", example_steps, "Profiled steps per tile")->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fmt::print(stderr, "vorn-package: {}\nRun 'vorn-package --help' for usage.\n", e.what());
    return kIoError;
  }

  if (verbosity > 0) {
    log::set_sink(
        [](const log::Event& e) {
          std::string line = fmt::format("{} {}: {}", log::to_string(e.level), e.target, e.message);
          for (const log::Field& f : e.fields) {
            if (auto* n = std::get_if<std::uint64_t>(&f.value)) {
              line += fmt::format(" {}={}", f.name, *n);
            } else {
              line += fmt::format(" {}={}", f.name, json_string(std::get<std::string_view>(f.value)));
            }
          }
          fmt::print(stderr, "{}\n", line);
        },
        verbosity > 1 ? log::Level::Trace : log::Level::Info);
  }

  try {
    if (*inspect) return cmd_inspect(package, json);
    if (*validate) return cmd_validate(packages);
    if (*image) {
      if (!all && tile_option->count() == 0) fail(kIoError, "image", "give --tile N or --all");
      return cmd_image(package, all ? std::nullopt : std::optional(tile), all, out);
    }
    if (*profile) return cmd_profile(package, runtime_output, clock_hz, out);
    if (*report) return cmd_report(package, top, json);
    if (*trace) return cmd_trace(package, out, tiles_list);
    if (*timeline) return cmd_timeline(package, out);
    if (*diff) {
      try {
        return cmd_diff(package, other, json);
      } catch (const Failure& f) {
        fmt::print(stderr, "vorn-package: {}: {}\n", f.what, f.detail);
        return 2;  // like diff(1): trouble is 2, whatever its kind
      }
    }
    if (*example) return cmd_example(out, example_tiles, example_steps);
  } catch (const Failure& f) {
    std::fflush(stdout);
    fmt::print(stderr, "vorn-package: {}: {}\n", f.what, f.detail);
    return f.status;
  } catch (const std::exception& e) {
    fmt::print(stderr, "vorn-package: {}\n", e.what());
    return kIoError;
  }
  return kIoError;
}
