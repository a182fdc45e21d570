// Fuzz target: the stand-in host's argument checking.
//
// Each input builds a fresh environment and registers script functions: the
// plug-in's own "velmoraine" (through its entry point, linked in), a few fixed
// parameter strings, and one parameter string taken from the input (which
// AddFunction must either accept or refuse with a script error). It then
// calls Invoke with a function name, an argument array and argument names,
// all from the input: ints, floats, bools, strings, clips (YV12, mono,
// interleaved), nested arrays and void values, positional or named with
// names that match in any case or not at all.
//
// Checked:
//   - Invoke either calls the function or raises a script error with a
//     message; nothing else escapes and nothing crashes;
//   - a called function gets exactly one value per parameter, each of the
//     parameter's type (void only for an absent optional one, an array for a
//     repeated one);
//   - a filter the plug-in accepted serves a frame, and every frame and clip
//     is released when the handles go.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"

extern "C" const char* VELMORAINE_STDCALL AvisynthPluginInit2(IScriptEnvironment* env);

namespace {

using velmoraine::host::MakeVideoInfo;
using velmoraine::host::MemoryClip;
using velmoraine::host::ParamSpec;
using velmoraine::host::ParseParamString;
using velmoraine::host::ScriptEnvironment;

[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "fuzz_invoke: %s\n", what.c_str());
  std::abort();
}

bool Fits(char type, const AVSValue& v) {
  switch (type) {
    case 'c': return v.IsClip();
    case 'i': return v.IsInt();
    case 'f': return v.IsFloat();
    case 'b': return v.IsBool();
    case 's': return v.IsString();
    default: return v.Defined() && !v.IsArray();
  }
}

// The functions registered besides the plug-in's; user data points at the
// parsed parameters so that the callback can check what it was given.
struct Registered {
  std::string name;
  std::string params;
  std::vector<ParamSpec> parameters;
};

AVSValue VELMORAINE_CDECL Check(AVSValue args, void* user_data, IScriptEnvironment*) {
  const Registered& r = *static_cast<const Registered*>(user_data);
  if (!args.IsArray() || args.ArraySize() != static_cast<int>(r.parameters.size()))
    Fault(r.name + ": the callback got " + std::to_string(args.ArraySize()) + " values for " +
          std::to_string(r.parameters.size()) + " parameters");
  for (size_t k = 0; k < r.parameters.size(); ++k) {
    const ParamSpec& param = r.parameters[k];
    const AVSValue& v = args[static_cast<int>(k)];
    if (param.repeat && !(param.optional && !v.Defined())) {
      if (!v.IsArray()) Fault(r.name + ": a repeated parameter did not get an array");
      // An absent optional one may come as an empty array.
      if (param.repeat == '+' && !param.optional && v.ArraySize() == 0)
        Fault(r.name + ": a '+' parameter got no value");
      for (int i = 0; i < v.ArraySize(); ++i)
        if (!Fits(param.type, v[i])) Fault(r.name + ": a repeated value of the wrong type");
    } else if (!v.Defined()) {
      if (!param.optional) Fault(r.name + ": a required parameter got no value");
    } else if (!Fits(param.type, v)) {
      Fault(r.name + ": parameter " + std::to_string(k) + " got a value of the wrong type");
    }
  }
  return AVSValue(static_cast<int>(r.parameters.size()));
}

const char* const kFixedParams[] = {"c[T]i[P]i[lp]i[hp]i", "i*", "[x]f[y]s+", ".+[n]b", "c[]i[s]s"};
const char* const kNames[] = {"T", "p", "LP", "hp", "x", "y", "n", "s", "", "velmoraine", "t "};

std::string Name(FuzzedDataProvider& in, const std::vector<Registered>& functions) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.ConsumeRandomLengthString(12);
    case 1: return kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
    default: {
      // A registered name, in any case.
      std::string name = in.ConsumeBool() || functions.empty()
                             ? std::string("velmoraine")
                             : functions[in.ConsumeIntegralInRange<size_t>(0, functions.size() - 1)].name;
      for (char& c : name)
        if (in.ConsumeBool()) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return name;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  ScriptEnvironment env;
  AvisynthPluginInit2(&env);

  // Stable storage for the callbacks' user data: reserved, never reallocated.
  std::vector<Registered> functions;
  functions.reserve(std::size(kFixedParams) + 1);
  for (size_t i = 0; i < std::size(kFixedParams); ++i)
    functions.push_back({"f" + std::to_string(i), kFixedParams[i], ParseParamString(kFixedParams[i])});
  {
    // One parameter string from the input: accepted or refused as a whole.
    std::string params = in.ConsumeRandomLengthString(24);
    params.resize(std::strlen(params.c_str()));  // what AddFunction sees of it
    std::vector<ParamSpec> parameters;
    bool valid = true;
    try {
      parameters = ParseParamString(params);
    } catch (const std::invalid_argument&) {
      valid = false;
    }
    bool added = true;
    try {
      env.AddFunction("g", params.c_str(), &Check, &functions.emplace_back(Registered{"g", params, parameters}));
    } catch (const AvisynthError& e) {
      added = false;
      if (!e.msg || !*e.msg) Fault("AddFunction refused without a message");
    }
    if (added != valid) Fault("AddFunction and ParseParamString disagree on \"" + params + "\"");
    if (!added) functions.pop_back();
  }
  for (size_t i = 0; i < std::size(kFixedParams); ++i)
    env.AddFunction(functions[i].name.c_str(), functions[i].params.c_str(), &Check, &functions[i]);

  {
    // Clips the arguments may hold: what the plug-in takes and what it refuses.
    PClip clips[3] = {new MemoryClip(MakeVideoInfo(16, 16, CS_YV12, 2)),
                      new MemoryClip(MakeVideoInfo(9, 17, CS_MONO8, 1)),
                      new MemoryClip(MakeVideoInfo(16, 8, CS_YUY2, 1))};

    const std::string function = Name(in, functions);
    const int count = in.ConsumeIntegralInRange<int>(0, 8);
    std::vector<AVSValue> args;
    std::vector<const char*> names;
    std::vector<std::string> nameStore;
    nameStore.reserve(static_cast<size_t>(count));
    // Array values point at their elements: keep those for the whole call.
    std::vector<std::array<AVSValue, 2>> arrays;
    arrays.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      AVSValue value;
      switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: break;  // void
        case 1: value = AVSValue(in.ConsumeIntegral<int>()); break;
        case 2: value = AVSValue(in.ConsumeFloatingPoint<float>()); break;
        case 3: value = AVSValue(in.ConsumeBool()); break;
        case 4: {
          std::string text = in.ConsumeRandomLengthString(16);
          value = AVSValue(env.SaveString(text.c_str(), static_cast<int>(text.size())));
          break;
        }
        case 5: {
          arrays.push_back({AVSValue(in.ConsumeIntegral<int>()), AVSValue(clips[0])});
          value = AVSValue(arrays.back().data(), in.ConsumeIntegralInRange<int>(0, 2));
          break;
        }
        default: value = AVSValue(clips[in.ConsumeIntegralInRange<int>(0, 2)]); break;
      }
      args.push_back(value);
      if (in.ConsumeBool()) {
        nameStore.push_back(Name(in, functions));
        names.push_back(nameStore.back().c_str());
      } else {
        names.push_back(nullptr);
      }
    }
    const int shape = in.ConsumeIntegralInRange<int>(0, 3);
    AVSValue result;
    try {
      if (shape == 0 && !args.empty()) {
        // A single value rather than an array of one.
        result = env.Invoke(function.c_str(), args[0], nullptr);
      } else {
        const AVSValue array(args.data(), static_cast<int>(args.size()));
        result = env.Invoke(function.c_str(), array, shape == 1 ? nullptr : names.data());
      }
    } catch (const AvisynthError& e) {
      if (!e.msg || !*e.msg) Fault("a script error without a message");
    }
    if (result.IsClip()) {
      // The plug-in built a filter: it must serve a frame (or refuse it with
      // a script error, never anything else).
      try {
        PVideoFrame frame = result.AsClip()->GetFrame(in.ConsumeIntegralInRange<int>(-1, 3), &env);
        if (!frame) Fault("the filter returned no frame");
      } catch (const AvisynthError& e) {
        if (!e.msg || !*e.msg) Fault("a script error without a message");
      }
    }
  }
  if (env.LiveFrames() != 0) Fault("frames still held after every handle went");
  return 0;
}
