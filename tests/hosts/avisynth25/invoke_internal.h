// Internals of Invoke shared between the host's sources and its tests.
#pragma once

#include <string>
#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"

namespace velmoraine::host {

bool EqualNoCase(const std::string& a, const std::string& b);

// Arguments matched to parameters: values[k] is parameter k's value (void
// when absent); for a repeated parameter groups[k] holds its values and the
// caller turns them into an array value.
struct MatchedArgs {
  std::vector<AVSValue> values;
  std::vector<std::vector<AVSValue>> groups;
};

// Checks args (names[i] null or past the end for positional ones) against
// the parameters; throws std::invalid_argument with a message that names
// the function and the argument.
MatchedArgs MatchArguments(const std::string& function, const std::vector<ParamSpec>& specs,
                           const std::vector<AVSValue>& args, const std::vector<const char*>& names);

}  // namespace velmoraine::host
