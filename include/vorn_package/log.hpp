#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <variant>

// Structured diagnostic events. The library never installs a sink; with none
// installed an event costs one relaxed atomic load and nothing is formatted.
namespace vorn_package::log {

enum class Level { Trace, Debug, Info, Warn, Error };

struct Field {
  std::string_view name;
  std::variant<std::uint64_t, std::string_view> value;
};

struct Event {
  Level level;
  std::string_view target;
  std::string_view message;
  std::span<const Field> fields;
};

using Sink = std::function<void(const Event&)>;

// Installs a process-wide sink that receives, synchronously on the emitting
// thread, every event at min_level or above; an empty Sink removes it. Safe
// to call while other threads emit events: an event is delivered either to
// the old sink or to the new one, and a removed sink is not called after
// set_sink has returned unless an event already held it.
void set_sink(Sink sink, Level min_level = Level::Info);

// True when an event of this level would reach a sink.
bool enabled(Level level) noexcept;

// Delivers an event with target "vorn_package" to the installed sink, if any
// accepts the level. Exceptions thrown by the sink are swallowed: logging
// never changes the outcome of an operation.
void emit(Level level, std::string_view message, std::span<const Field> fields = {}) noexcept;

const char* to_string(Level level);

}  // namespace vorn_package::log
