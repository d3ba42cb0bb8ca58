// The profile report writer's pieces, for tests that check them.
#pragma once

#include <vector>

#include "codec.hpp"
#include "profile.capnp.h"

namespace vorn_package::detail {

// The whole report in the writer's order, and the segments that order makes
// with the standard allocation.
void put_report(capnp::MessageBuilder& message, const ProfileReport& report);
std::vector<std::uint32_t> plan_report(const ProfileReport& report);

}  // namespace vorn_package::detail
