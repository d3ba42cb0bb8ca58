// Benchmarks against the cost of copying the same bytes. Every benchmark
// times the operation and its floor in the same iteration and reports
// `ratio` = operation time / floor time. Run each workload in its own
// process (scripts/bench does): heap history moves allocation-heavy figures.

#include <malloc.h>

#include <chrono>
#include <cstring>
#include <memory>

#include <benchmark/benchmark.h>
#include <capnp/serialize.h>

#include "application.capnp.h"
#include "workloads.hpp"

using namespace vorn_package;

namespace {

using Clock = std::chrono::steady_clock;

// Times f(); its result is destroyed after the clock has stopped. Free heap
// memory is handed back to the system first, so that the operation and its
// floor both pay for fresh pages, whatever the iterations before them left.
template <class F>
double timed(F&& f, bool fresh_pages) {
  if (fresh_pages) {
    malloc_trim(0);
  } else {
    // glibc defers part of the work of free() (merging the chunks parked in
    // its fast bins) to the next large allocation. mallopt() does that merge
    // now, so that the cost of freeing the last result is not charged to the
    // next operation; the value set is glibc's default.
    mallopt(M_MXFAST, 64 * sizeof(std::size_t) / 4);
  }
  auto start = Clock::now();
  auto result = f();
  auto stop = Clock::now();
  benchmark::DoNotOptimize(result);
  return std::chrono::duration<double>(stop - start).count();
}

// fresh_pages = false measures a steady state instead: what a process that
// decodes package after package sees once its heap has grown.
template <class Op, class Floor>
void measure(benchmark::State& state, Op&& op, Floor&& floor, std::size_t bytes, bool fresh_pages = true) {
  double op_total = 0, floor_total = 0;
  for (auto _ : state) {
    double t = timed(op, fresh_pages);
    floor_total += timed(floor, fresh_pages);
    op_total += t;
    state.SetIterationTime(t);
  }
  state.counters["ratio"] = op_total / floor_total;
  state.counters["floor_ms"] = floor_total * 1e3 / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

// The floor of reading or writing n bytes: fresh memory, one copy.
std::unique_ptr<std::uint8_t[]> fresh_copy(const std::uint8_t* source, std::size_t n) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n]);
  std::memcpy(copy.get(), source, n);
  return copy;
}

std::vector<std::uint8_t> encode(const Application& app) {
  std::vector<std::uint8_t> bytes;
  if (!app.write(bytes)) std::abort();
  return bytes;
}

const Application& workload(int w) {
  static std::unique_ptr<Application> apps[5];
  if (!apps[w]) {
    switch (w) {
      case 1: apps[w] = std::make_unique<Application>(workloads::w1()); break;
      case 2: apps[w] = std::make_unique<Application>(workloads::w2()); break;
      case 3: apps[w] = std::make_unique<Application>(workloads::w3()); break;
      default: apps[w] = std::make_unique<Application>(workloads::w4().app); break;
    }
  }
  return *apps[w];
}

const std::vector<std::uint8_t>& message(int w) {
  static std::vector<std::uint8_t> messages[5];
  if (messages[w].empty()) messages[w] = encode(workload(w));
  return messages[w];
}

void Write(benchmark::State& state) {
  const Application& app = workload(static_cast<int>(state.range(0)));
  const std::vector<std::uint8_t>& bytes = message(static_cast<int>(state.range(0)));
  measure(
      state,
      [&] {
        std::vector<std::uint8_t> out;
        if (!app.write(out)) std::abort();
        return out;
      },
      [&] { return fresh_copy(bytes.data(), bytes.size()); }, bytes.size());
}

// range(1): 0 aligned input, 1 input starting one byte into a buffer.
void Read(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = message(static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> shifted;
  std::span<const std::uint8_t> input(bytes);
  if (state.range(1)) {
    shifted.resize(bytes.size() + 1);
    std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    input = std::span<const std::uint8_t>(shifted).subspan(1);
  }
  measure(
      state,
      [&] {
        auto app = Application::read(input);
        if (!app) std::abort();
        return app;
      },
      [&] { return fresh_copy(bytes.data(), bytes.size()); }, bytes.size());
}

// What decoding costs before any record is built: every field visited with
// the generated readers, nothing copied.
std::uint64_t traverse(std::span<const std::uint8_t> bytes) {
  namespace s = application_capnp;
  capnp::FlatArrayMessageReader reader(
      kj::ArrayPtr<const capnp::word>(reinterpret_cast<const capnp::word*>(bytes.data()), bytes.size() / 8),
      capnp_reader_options());
  auto root = reader.getRoot<s::Application>();
  std::uint64_t sum = root.getSchemaVersion() + root.getTarget().size() + root.getCompilerVersion().size();
  for (auto tile : root.getTiles()) {
    sum += tile.getPhysicalTile() + tile.getEntryPoint() + tile.getCommandAddress() + tile.getDiagnosticAddress();
    for (auto seg : tile.getSegments()) sum += seg.getAddress() + seg.getMemorySize() + seg.getData().size() + seg.getFlags();
  }
  for (auto plan : root.getProfileTiles()) {
    sum += plan.getPhysicalTile();
    for (auto step : plan.getSteps()) {
      sum += step.getLocalIndex() + step.getPhase() + step.getEpoch() + step.getOperation().size() +
             static_cast<unsigned>(step.getKind()) + step.getKernel().size() + step.getExchangeEventCycles();
      for (auto m : step.getMetadata()) sum += m.getName().size() + m.getValue().size();
      for (auto a : step.getExchangeActivities()) {
        sum += static_cast<unsigned>(a.getKind()) + a.getStartCycle() + a.getEndCycle();
      }
    }
  }
  sum += root.getInputs().size() + root.getOutputs().size() + root.getWeights().size() +
         root.getHostExchange().getCalls().size() + root.getEntryPoints().size() + root.getDeviceConfigWrites().size() +
         root.getDebugSymbols().size() + root.getDebugRegions().size();
  return sum;
}

// Measured in a steady state: a process that decodes package after package
// keeps its heap, so glibc is told not to hand freed memory back (which it
// otherwise does whenever the top of the heap is free), and a few warm-up
// reads grow the heap first. What remains is the cost of decoding and of
// malloc itself, not of faulting in fresh pages.
void ReadVsTraverse(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = message(2);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  for (int i = 0; i < 3; ++i) benchmark::DoNotOptimize(Application::read(bytes));
  measure(
      state,
      [&] {
        auto app = Application::read(bytes);
        if (!app) std::abort();
        return app;
      },
      [&] { return traverse(bytes); }, bytes.size(), false);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}

void Validate(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const Application& app = workload(w);
  const std::vector<std::uint8_t>& bytes = message(w);
  measure(
      state,
      [&] {
        auto ok = app.validate();
        if (!ok) std::abort();
        return ok;
      },
      [&] { return Application::read(bytes); }, bytes.size());
}

void TileImages(benchmark::State& state) {
  const Application& app = workload(1);
  std::size_t total = 0;
  std::vector<std::vector<std::uint8_t>> flat;  // each tile's image bytes, as the floor's source
  for (const TileImage& tile : app.tiles) {
    flat.push_back(*app.tile_image(tile.physical_tile));
    total += flat.back().size();
  }
  measure(
      state,
      [&] {
        std::vector<std::vector<std::uint8_t>> images;
        images.reserve(app.tiles.size());
        for (const TileImage& tile : app.tiles) images.push_back(*app.tile_image(tile.physical_tile));
        return images;
      },
      [&] {
        std::vector<std::unique_ptr<std::uint8_t[]>> copies;
        copies.reserve(flat.size());
        for (const auto& image : flat) copies.push_back(fresh_copy(image.data(), image.size()));
        return copies;
      },
      total);
}

const workloads::W4& w4() {
  static workloads::W4 w = workloads::w4();
  return w;
}

void ProfileSynthesis(benchmark::State& state) {
  const workloads::W4& w = w4();
  measure(
      state,
      [&] {
        auto report = w.app.profile_report(w.runtime_output, 1500000000);
        if (!report) std::abort();
        return report;
      },
      [&] {
        std::vector<std::vector<ProfileStep>> copy;
        copy.reserve(w.app.profile_tiles.size());
        for (const TileProfilePlan& plan : w.app.profile_tiles) copy.push_back(plan.steps);
        return copy;
      },
      w.runtime_output.size());
}

const ProfileReport& w4_report() {
  static ProfileReport report = *w4().app.profile_report(w4().runtime_output, 1500000000);
  return report;
}

void ReportWrite(benchmark::State& state) {
  std::vector<std::uint8_t> bytes;
  if (!w4_report().write(bytes)) std::abort();
  measure(
      state,
      [&] {
        std::vector<std::uint8_t> out;
        if (!w4_report().write(out)) std::abort();
        return out;
      },
      [&] { return fresh_copy(bytes.data(), bytes.size()); }, bytes.size());
}

void ReportRead(benchmark::State& state) {
  std::vector<std::uint8_t> bytes;
  if (!w4_report().write(bytes)) std::abort();
  measure(
      state,
      [&] {
        auto report = ProfileReport::read(bytes);
        if (!report) std::abort();
        return report;
      },
      [&] { return fresh_copy(bytes.data(), bytes.size()); }, bytes.size());
}

}  // namespace

BENCHMARK(Write)->Name("write/W1")->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Write)->Name("write/W2")->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Read)->Name("read/W1/aligned")->Args({1, 0})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Read)->Name("read/W1/unaligned")->Args({1, 1})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Read)->Name("read/W2/aligned")->Args({2, 0})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Read)->Name("read/W2/unaligned")->Args({2, 1})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ReadVsTraverse)->Name("read_vs_traverse/W2")->MinTime(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Validate)->Name("validate/W2")->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Validate)->Name("validate/W3")->Arg(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TileImages)->Name("tile_image/W1")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ProfileSynthesis)->Name("profile_report/W4")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ReportWrite)->Name("report_write/W4")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ReportRead)->Name("report_read/W4")->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
