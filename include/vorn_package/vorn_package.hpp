#pragma once

// The whole public API of vorn_package.

#include <capnp/message.h>

#include <vorn_package/error.hpp>
#include <vorn_package/log.hpp>
#include <vorn_package/records.hpp>

namespace vorn_package {

// Header constants of every package and the tile memory window they describe.
inline constexpr std::uint32_t kSchemaVersion = 5;
inline constexpr std::string_view kTarget = "vorn21";
inline constexpr std::uint32_t kTileMemoryBase = 0x4c000;
inline constexpr std::uint32_t kTileMemorySize = 0x9c000;
inline constexpr std::uint32_t kTileMemoryEnd = kTileMemoryBase + kTileMemorySize;
inline constexpr std::uint32_t kProfileSchemaVersion = 5;

// The options of every decode: no traversal limit (packages of any size
// read; the reader bounds what it builds itself), nesting limit 64.
capnp::ReaderOptions capnp_reader_options();

}  // namespace vorn_package
