// The script function every host entry registers: its name, its parameters,
// their defaults and the messages a script sees for bad values. One
// definition, so that a script moves between hosts unchanged.
#pragma once

#include <stdint.h>

namespace velmoraine {

// velmoraine(clip, T, P, lp, hp).
constexpr char kFunctionName[] = "velmoraine";
// The clip, then the four integers, each named and optional.
constexpr char kFunctionParameters[] = "c[T]i[P]i[lp]i[hp]i";

struct FilterArguments {
  int32_t T;   // threshold
  int32_t P;   // block-weight profile, >= 0
  int32_t lp;  // band start, compared with u*u + v*v
  int32_t hp;  // band end
};

// What an absent argument stands for.
constexpr FilterArguments kDefaultArguments = {0, 1, 0, 100};

// The four integer arguments in parameter order (after the clip).
constexpr int kIntegerArgumentCount = 4;
constexpr const char* kIntegerArgumentNames[kIntegerArgumentCount] = {"T", "P", "lp", "hp"};

// The script error for a negative P, word for word the same on every host.
constexpr char kNegativePMessage[] =
    "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z / "
    "P>10 (z > P) ? 1 : 0";

// Script errors for an integer argument that arrives as a 64-bit value out of
// the 32-bit range, one per argument in parameter order. Literals, so that a
// host may keep the pointer as long as it likes.
constexpr const char* kOutOfRangeMessages[kIntegerArgumentCount] = {
    "velmoraine: 'T' is out of range: it must lie within -2147483648..2147483647",
    "velmoraine: 'P' is out of range: it must lie within -2147483648..2147483647",
    "velmoraine: 'lp' is out of range: it must lie within -2147483648..2147483647",
    "velmoraine: 'hp' is out of range: it must lie within -2147483648..2147483647",
};

// True when a 64-bit integer argument can be taken as a 32-bit one unchanged.
constexpr bool FitsInt32(int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

// Stores argument `index` (0 = T .. 3 = hp) of `arguments`.
inline void SetIntegerArgument(FilterArguments& arguments, int index, int32_t value) {
  int32_t* const fields[kIntegerArgumentCount] = {&arguments.T, &arguments.P, &arguments.lp,
                                                  &arguments.hp};
  *fields[index] = value;
}

}  // namespace velmoraine
