// report, trace, timeline: what a performance engineer reads of a run.

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <unordered_map>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli.hpp"

namespace cli {
namespace {

using nlohmann::ordered_json;

double seconds(std::uint64_t cycles, std::uint64_t clock_hz) {
  return clock_hz ? static_cast<double>(cycles) / static_cast<double>(clock_hz) : 0.0;
}

double percent(std::uint64_t part, std::uint64_t whole) {
  return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

struct Total {
  std::uint64_t cycles = 0;
  std::uint64_t count = 0;
};

// Sorted by total cycles, then by name for equal totals.
std::vector<std::pair<std::string, Total>> top(const std::unordered_map<std::string, Total>& totals, std::size_t n) {
  std::vector<std::pair<std::string, Total>> out(totals.begin(), totals.end());
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a.second.cycles != b.second.cycles ? a.second.cycles > b.second.cycles : a.first < b.first;
  });
  if (out.size() > n) out.resize(n);
  return out;
}

void require_clock(const ProfileReport& report, const std::string& path) {
  if (report.clock_hz == 0) fail(kInvalid, path, "the report's clock frequency is 0 Hz; times cannot be computed");
}

}  // namespace

int cmd_report(const std::string& path, std::size_t top_n, bool json) {
  ProfileReport report = read_report(path);
  std::unordered_map<std::string, Total> kernels, operations;
  std::uint64_t all_cycles = 0;
  ordered_json tiles = ordered_json::array();
  std::string text;
  text += fmt::format("Profile report: {}\n  Clock: {} Hz\n  Tiles: {}\n\n", path, report.clock_hz, report.tiles.size());
  text += fmt::format("  {:>8} {:>8} {:>14} {:>12}  {:>9} {:>9} {:>9} {:>9}\n", "Tile", "Steps", "Cycles", "Time (us)",
                      "Exchange", "Compute", "Sync", "Idle");
  for (const TileProfile& tile : report.tiles) {
    std::uint64_t by_kind[4] = {};
    std::uint64_t cycles = 0;
    for (const CycleSample& s : tile.samples) {
      std::uint64_t d = static_cast<std::uint32_t>(s.end_cycle - s.start_cycle);  // wrapped counters count right
      cycles += d;
      by_kind[static_cast<unsigned>(s.step.kind) & 3] += d;
      Total& k = kernels[s.step.kernel];
      k.cycles += d;
      ++k.count;
      Total& o = operations[s.step.operation];
      o.cycles += d;
      ++o.count;
    }
    all_cycles += cycles;
    ordered_json shares;
    for (int k = 0; k < 4; ++k) shares[to_string(static_cast<ProfileStepKind>(k))] = percent(by_kind[k], cycles);
    tiles.push_back({{"physical_tile", tile.physical_tile}, {"steps", tile.samples.size()}, {"cycles", cycles},
                     {"time_us", seconds(cycles, report.clock_hz) * 1e6}, {"kind_share_percent", shares}});
    text += fmt::format("  {:>8} {:>8} {:>14} {:>12.3f}  {:>8.1f}% {:>8.1f}% {:>8.1f}% {:>8.1f}%\n", tile.physical_tile,
                        tile.samples.size(), cycles, seconds(cycles, report.clock_hz) * 1e6, percent(by_kind[0], cycles),
                        percent(by_kind[1], cycles), percent(by_kind[2], cycles), percent(by_kind[3], cycles));
  }
  auto table = [&](const char* title, const std::unordered_map<std::string, Total>& totals) {
    ordered_json rows = ordered_json::array();
    text += fmt::format("\nTop {} by total cycles:\n  {:<40} {:>8} {:>14} {:>12} {:>7}\n", title, "Name", "Count",
                        "Cycles", "Mean", "Share");
    for (const auto& [name, t] : top(totals, top_n)) {
      double mean = t.count ? static_cast<double>(t.cycles) / static_cast<double>(t.count) : 0.0;
      rows.push_back({{"name", name}, {"count", t.count}, {"cycles", t.cycles}, {"mean_cycles", mean},
                      {"share_percent", percent(t.cycles, all_cycles)}});
      text += fmt::format("  {:<40} {:>8} {:>14} {:>12.1f} {:>6.1f}%\n", name.empty() ? "(none)" : name, t.count,
                          t.cycles, mean, percent(t.cycles, all_cycles));
    }
    return rows;
  };
  ordered_json top_kernels = table("kernels", kernels);
  ordered_json top_operations = table("operations", operations);
  if (json) {
    ordered_json j = {{"clock_hz", report.clock_hz}, {"total_cycles", all_cycles}, {"tiles", tiles},
                      {"top_kernels", top_kernels}, {"top_operations", top_operations}};
    std::cout << j.dump(2) << '\n';
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  return 0;
}

int cmd_trace(const std::string& path, const std::string& out_path, const std::string& tiles_arg) {
  ProfileReport report = read_report(path);
  require_clock(report, path);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  if (!tiles_arg.empty()) ranges = parse_tile_ranges(tiles_arg);
  auto selected = [&](std::uint32_t tile) {
    if (ranges.empty()) return true;
    return std::any_of(ranges.begin(), ranges.end(), [&](auto r) { return tile >= r.first && tile <= r.second; });
  };
  const double us_per_cycle = 1e6 / static_cast<double>(report.clock_hz);

  Output out(out_path);
  out.write(R"({"displayTimeUnit":"ns","otherData":{"source":"vorn-package","clock_hz":)");
  out.write(std::to_string(report.clock_hz));
  out.write(R"(},"traceEvents":[)");
  out.write(R"({"ph":"M","pid":0,"tid":0,"name":"process_name","args":{"name":"vorn21 device"}})");
  std::string line;
  std::size_t events = 0;
  for (const TileProfile& tile : report.tiles) {
    if (!selected(tile.physical_tile)) continue;
    const std::uint32_t tid = tile.physical_tile;
    line = fmt::format(R"(,{{"ph":"M","pid":0,"tid":{0},"name":"thread_name","args":{{"name":"tile {0}"}}}})"
                       R"(,{{"ph":"M","pid":0,"tid":{0},"name":"thread_sort_index","args":{{"sort_index":{0}}}}})",
                       tid);
    out.write(line);
    for (const TimedSample& t : unwrap(tile)) {
      const ProfileStep& step = t.sample->step;
      const std::uint64_t duration = t.end - t.start;
      line.clear();
      fmt::format_to(std::back_inserter(line),
                     R"(,{{"ph":"X","pid":0,"tid":{},"name":{},"cat":"{}","ts":{:.6f},"dur":{:.6f},"args":{{)"
                     R"("operation":{},"kernel":{},"local_index":{},"phase":{},"epoch":{},"exchange_event_cycles":{},)"
                     R"("start_cycle":{},"end_cycle":{})",
                     tid, json_string(step.operation.empty() ? step.kernel : step.operation), to_string(step.kind),
                     static_cast<double>(t.start) * us_per_cycle, static_cast<double>(duration) * us_per_cycle,
                     json_string(step.operation), json_string(step.kernel), step.local_index, step.phase, step.epoch,
                     step.exchange_event_cycles, t.sample->start_cycle, t.sample->end_cycle);
      for (const ProfileMetadata& m : step.metadata) {
        line += ',';
        line += json_string("meta." + m.name);
        line += ':';
        line += json_string(m.value);
      }
      line += "}}";
      // Exchange activities nest inside their step: offsets from its start,
      // clipped to it so that viewers keep them on the step's track.
      for (const ProfileExchangeActivity& a : step.exchange_activities) {
        std::uint64_t begin = std::min<std::uint64_t>(a.start_cycle, duration);
        std::uint64_t end = std::min<std::uint64_t>(begin + static_cast<std::uint32_t>(a.end_cycle - a.start_cycle), duration);
        fmt::format_to(std::back_inserter(line),
                       R"(,{{"ph":"X","pid":0,"tid":{},"name":"{}","cat":"exchange","ts":{:.6f},"dur":{:.6f},)"
                       R"("args":{{"start_cycle":{},"end_cycle":{}}}}})",
                       tid, to_string(a.kind), static_cast<double>(t.start + begin) * us_per_cycle,
                       static_cast<double>(end - begin) * us_per_cycle, a.start_cycle, a.end_cycle);
        ++events;
      }
      out.write(line);
      ++events;
    }
  }
  out.write("]}\n");
  out.close();
  fmt::print("{}: {} events\n", out_path, events);
  return 0;
}

int cmd_timeline(const std::string& path, const std::string& out_path) {
  ProfileReport report = read_report(path);
  require_clock(report, path);
  const double us_per_cycle = 1e6 / static_cast<double>(report.clock_hz);
  std::vector<std::vector<TimedSample>> rows;
  std::uint64_t span = 1;
  for (const TileProfile& tile : report.tiles) {
    rows.push_back(unwrap(tile));
    if (!rows.back().empty()) span = std::max(span, rows.back().back().end);
  }
  const int label_width = 90, plot_width = 1200, row_height = 14, top = 40, legend_height = 30;
  const int height = top + row_height * static_cast<int>(rows.size()) + 30 + legend_height;
  const double x_per_cycle = static_cast<double>(plot_width) / static_cast<double>(span);
  const char* colors[] = {"#4e79a7", "#f28e2b", "#e15759", "#bab0ac"};  // by step kind

  Output out(out_path);
  out.write(fmt::format(R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="{}" height="{}" font-family="sans-serif" font-size="11">
<title>{}</title>
<rect width="100%" height="100%" fill="white"/>
)",
                        label_width + plot_width + 20, height, xml_escape(path)));
  // Time axis: about ten ticks at round microsecond values.
  const double total_us = static_cast<double>(span) * us_per_cycle;
  const double raw_step = std::max(total_us / 10, 1e-6);
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw_step)));
  double step_us = 10 * magnitude;
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * magnitude >= raw_step) {
      step_us = m * magnitude;
      break;
    }
  }
  const int axis_y = top - 8;
  out.write(fmt::format(R"(<line x1="{}" y1="{}" x2="{}" y2="{}" stroke="black"/>)" "\n", label_width, axis_y,
                        label_width + plot_width, axis_y));
  for (double us = 0; us <= total_us + 1e-9; us += step_us) {
    double x = label_width + us / us_per_cycle * x_per_cycle;
    out.write(fmt::format(R"(<line x1="{0:.1f}" y1="{1}" x2="{0:.1f}" y2="{2}" stroke="black"/><text x="{0:.1f}" y="{3}" text-anchor="middle">{4:g} µs</text>)" "\n",
                          x, axis_y - 4, axis_y, axis_y - 8, us));
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const int y = top + static_cast<int>(r) * row_height;
    out.write(fmt::format(R"(<g><text x="{}" y="{}" text-anchor="end">tile {}</text>)", label_width - 6, y + row_height - 3,
                          report.tiles[r].physical_tile));
    for (const TimedSample& t : rows[r]) {
      const ProfileStep& step = t.sample->step;
      double x = label_width + static_cast<double>(t.start) * x_per_cycle;
      double w = std::max(0.5, static_cast<double>(t.end - t.start) * x_per_cycle);
      out.write(fmt::format(
          R"(<rect x="{:.2f}" y="{}" width="{:.2f}" height="{}" fill="{}"><title>{} | {} | {} | step {} | {} cycles ({:.3f} µs)</title></rect>)",
          x, y + 1, w, row_height - 2, colors[static_cast<unsigned>(step.kind) & 3], xml_escape(step.operation),
          xml_escape(step.kernel), to_string(step.kind), step.local_index, t.end - t.start,
          static_cast<double>(t.end - t.start) * us_per_cycle));
    }
    out.write("</g>\n");
  }
  const int legend_y = top + row_height * static_cast<int>(rows.size()) + 20;
  for (int k = 0; k < 4; ++k) {
    int x = label_width + k * 150;
    out.write(fmt::format(R"(<rect x="{}" y="{}" width="12" height="12" fill="{}"/><text x="{}" y="{}">{}</text>)" "\n", x,
                          legend_y, colors[k], x + 16, legend_y + 10, to_string(static_cast<ProfileStepKind>(k))));
  }
  out.write("</svg>\n");
  out.close();
  fmt::print("{}: {} tiles over {:.3f} µs\n", out_path, rows.size(), total_us);
  return 0;
}

}  // namespace cli
