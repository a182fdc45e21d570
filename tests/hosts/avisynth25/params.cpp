// Parameter strings of script functions and the argument matching of Invoke.
#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"
#include "tests/hosts/avisynth25/invoke_internal.h"

namespace velmoraine::host {

std::vector<ParamSpec> ParseParamString(const std::string& params) {
  std::vector<ParamSpec> specs;
  size_t i = 0;
  while (i < params.size()) {
    ParamSpec param;
    if (params[i] == '[') {
      const size_t close = params.find(']', i + 1);
      if (close == std::string::npos) {
        throw std::invalid_argument("unterminated '[' at position " + std::to_string(i));
      }
      param.name = params.substr(i + 1, close - i - 1);
      for (char c : param.name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
          throw std::invalid_argument("bad character in argument name '" + param.name + "'");
        }
      }
      param.optional = true;
      i = close + 1;
      if (i >= params.size()) {
        throw std::invalid_argument("argument '" + param.name + "' has no type");
      }
    }
    const char type = params[i];
    if (type != 'c' && type != 'i' && type != 'f' && type != 'b' && type != 's' && type != '.') {
      throw std::invalid_argument(std::string("unknown type '") + type + "' at position " +
                                  std::to_string(i));
    }
    param.type = type;
    ++i;
    if (i < params.size() && (params[i] == '*' || params[i] == '+')) {
      param.repeat = params[i];
      ++i;
    }
    for (const ParamSpec& earlier : specs) {
      if (!param.name.empty() && EqualNoCase(earlier.name, param.name)) {
        throw std::invalid_argument("argument name '" + param.name + "' appears twice");
      }
    }
    specs.push_back(param);
  }
  return specs;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

namespace {

const char* TypeName(char type) {
  switch (type) {
    case 'c': return "a clip";
    case 'i': return "an int";
    case 'f': return "a float";
    case 'b': return "a bool";
    case 's': return "a string";
    case 'a': return "an array";
    case 'v': return "nothing";
    default: return "a value";
  }
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

// An int given for a float parameter becomes a float.
AVSValue Converted(char type, const AVSValue& v) {
  if (type == 'f' && v.IsInt()) return AVSValue(v.AsFloat());
  return v;
}

std::string Describe(const std::string& function, const ParamSpec& param, size_t index) {
  std::string s = function + ": argument " + std::to_string(index + 1);
  if (!param.name.empty()) s += " (" + param.name + ")";
  return s;
}

}  // namespace

MatchedArgs MatchArguments(const std::string& function, const std::vector<ParamSpec>& specs,
                           const std::vector<AVSValue>& args,
                           const std::vector<const char*>& names) {
  MatchedArgs out;
  out.values.resize(specs.size());
  out.groups.resize(specs.size());
  std::vector<bool> filled(specs.size(), false);

  // Positional arguments fill the parameters in order; a repeated parameter
  // takes every following positional argument of its type.
  size_t next = 0;
  size_t a = 0;
  auto positional = [&](size_t k) { return k >= names.size() || names[k] == nullptr; };
  while (a < args.size() && positional(a)) {
    if (next >= specs.size()) {
      throw std::invalid_argument(function + ": too many arguments (it takes at most " +
                                  std::to_string(specs.size()) + ")");
    }
    const ParamSpec& param = specs[next];
    if (param.repeat) {
      std::vector<AVSValue>& group = out.groups[next];
      while (a < args.size() && positional(a) && Fits(param.type, args[a])) {
        group.push_back(Converted(param.type, args[a]));
        ++a;
      }
      if (param.repeat == '+' && group.empty()) {
        throw std::invalid_argument(Describe(function, param, next) + " must be " +
                                    TypeName(param.type) + ", got " + TypeName(args[a].Type()));
      }
    } else {
      if (!Fits(param.type, args[a])) {
        throw std::invalid_argument(Describe(function, param, next) + " must be " +
                                    TypeName(param.type) + ", got " + TypeName(args[a].Type()));
      }
      out.values[next] = Converted(param.type, args[a]);
      ++a;
    }
    filled[next] = true;
    ++next;
  }

  // Named arguments go to the parameter of that name.
  for (; a < args.size(); ++a) {
    if (positional(a)) {
      throw std::invalid_argument(function + ": positional argument " + std::to_string(a + 1) +
                                  " follows named arguments");
    }
    const std::string name = names[a];
    size_t k = 0;
    while (k < specs.size() && !(specs[k].optional && !specs[k].name.empty() &&
                                 EqualNoCase(specs[k].name, name))) {
      ++k;
    }
    if (k == specs.size()) {
      throw std::invalid_argument(function + ": no argument named '" + name + "'");
    }
    if (filled[k]) {
      throw std::invalid_argument(function + ": argument '" + name + "' given twice");
    }
    const ParamSpec& param = specs[k];
    if (param.repeat) {
      if (!Fits(param.type, args[a])) {
        throw std::invalid_argument(Describe(function, param, k) + " must be " +
                                    TypeName(param.type) + ", got " + TypeName(args[a].Type()));
      }
      out.groups[k].push_back(Converted(param.type, args[a]));
    } else {
      if (!Fits(param.type, args[a])) {
        throw std::invalid_argument(Describe(function, param, k) + " must be " +
                                    TypeName(param.type) + ", got " + TypeName(args[a].Type()));
      }
      out.values[k] = Converted(param.type, args[a]);
    }
    filled[k] = true;
  }

  for (size_t k = 0; k < specs.size(); ++k) {
    const ParamSpec& param = specs[k];
    const bool required = !param.optional && param.repeat != '*';
    if (required && !filled[k]) {
      throw std::invalid_argument(Describe(function, param, k) + " (" + TypeName(param.type) +
                                  ") is missing");
    }
  }
  return out;
}

}  // namespace velmoraine::host
