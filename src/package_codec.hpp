// The pieces of the package writer and reader, one per part of the message.
// Internal: they speak in terms of the generated schema types.
#pragma once

#include <vector>

#include "application.capnp.h"
#include "codec.hpp"

namespace vorn_package::detail {

namespace schema = vorn_package::application_capnp;

void write_tiles(capnp::List<schema::TileImage>::Builder list, const std::vector<TileImage>& tiles);
void write_bindings(capnp::List<schema::Binding>::Builder list, const std::vector<Binding>& bindings);
void write_host_exchange(schema::HostExchange::Builder builder, const HostExchange& exchange);
void write_host_slices(capnp::List<schema::HostSlice>::Builder list, const std::vector<HostSlice>& slices);
void write_profile_tiles(capnp::List<schema::TileProfilePlan>::Builder list,
                         const std::vector<TileProfilePlan>& plans);

// The whole package in the writer's order, and the segments that order makes
// with the standard allocation.
void put_application(capnp::MessageBuilder& message, const Application& app);
std::vector<std::uint32_t> plan_application(const Application& app);

// Each may throw Failure or kj::Exception; callers run them under guarded().
std::vector<TileImage> read_tiles(capnp::List<schema::TileImage>::Reader list, Budget& budget);
std::vector<Binding> read_bindings(capnp::List<schema::Binding>::Reader list, Budget& budget);
HostExchange read_host_exchange(schema::HostExchange::Reader reader, Budget& budget);
std::vector<HostSlice> read_host_slices(capnp::List<schema::HostSlice>::Reader list, Budget& budget);
std::vector<TileProfilePlan> read_profile_tiles(capnp::List<schema::TileProfilePlan>::Reader list, Budget& budget);

}  // namespace vorn_package::detail
