#include <vorn_package/log.hpp>

#include <atomic>
#include <memory>
#include <mutex>

namespace vorn_package::log {
namespace {

// Above every level: nothing is enabled.
constexpr int kOff = static_cast<int>(Level::Error) + 1;

std::atomic<int> g_min_level{kOff};
std::mutex g_mutex;
std::shared_ptr<const Sink> g_sink;  // guarded by g_mutex

}  // namespace

void set_sink(Sink sink, Level min_level) {
  std::shared_ptr<const Sink> next = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  std::shared_ptr<const Sink> previous;
  {
    std::lock_guard lock(g_mutex);
    previous = std::move(g_sink);
    g_sink = std::move(next);
    g_min_level.store(g_sink ? static_cast<int>(min_level) : kOff, std::memory_order_release);
  }
  // `previous` is released outside the lock; an emitter still holding it
  // keeps it alive until its call returns.
}

bool enabled(Level level) noexcept {
  return static_cast<int>(level) >= g_min_level.load(std::memory_order_relaxed);
}

void emit(Level level, std::string_view message, std::span<const Field> fields) noexcept {
  if (!enabled(level)) return;
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard lock(g_mutex);
    // Re-check under the lock: the sink may have changed since the fast path.
    if (static_cast<int>(level) < g_min_level.load(std::memory_order_relaxed)) return;
    sink = g_sink;
  }
  if (!sink) return;
  try {
    (*sink)(Event{level, "vorn_package", message, fields});
  } catch (...) {
    // A failing sink must not change what the operation returns.
  }
}

const char* to_string(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
  }
  return "?";
}

}  // namespace vorn_package::log
