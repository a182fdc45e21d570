// Parameter strings and the argument checking of Invoke.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"

using namespace velmoraine::host;

TEST(ParamString, ParsesTypesNamesAndRepeats) {
  const std::vector<ParamSpec> specs = ParseParamString("c[T]i[amount]f[]bs*[list]i+.");
  ASSERT_EQ(specs.size(), 7u);
  EXPECT_EQ(specs[0].type, 'c');
  EXPECT_FALSE(specs[0].optional);
  EXPECT_EQ(specs[1].name, "T");
  EXPECT_EQ(specs[1].type, 'i');
  EXPECT_TRUE(specs[1].optional);
  EXPECT_EQ(specs[2].name, "amount");
  EXPECT_EQ(specs[2].type, 'f');
  EXPECT_TRUE(specs[3].optional);
  EXPECT_EQ(specs[3].name, "");
  EXPECT_EQ(specs[3].type, 'b');
  EXPECT_EQ(specs[4].type, 's');
  EXPECT_EQ(specs[4].repeat, '*');
  EXPECT_EQ(specs[5].name, "list");
  EXPECT_EQ(specs[5].repeat, '+');
  EXPECT_EQ(specs[6].type, '.');
  EXPECT_TRUE(ParseParamString("").empty());
}

TEST(ParamString, RefusesMalformedStrings) {
  for (const char* bad : {"x", "c[T", "c[T]", "c[a b]i", "c[T]i[t]i", "ci*+"}) {
    EXPECT_THROW(ParseParamString(bad), std::invalid_argument) << bad;
  }
}

namespace {

// Records the argument array a script function receives.
struct Seen {
  std::vector<char> types;
  std::vector<AVSValue> values;
  // Array values point into the caller's storage, which ends with the call:
  // their elements are copied out here.
  std::vector<std::vector<AVSValue>> elements;
};

AVSValue VELMORAINE_CDECL Record(AVSValue args, void* user_data, IScriptEnvironment*) {
  Seen* seen = static_cast<Seen*>(user_data);
  seen->types.clear();
  seen->values.clear();
  seen->elements.clear();
  for (int i = 0; i < args.ArraySize(); ++i) {
    seen->types.push_back(args[i].Type());
    seen->values.push_back(args[i].IsArray() ? AVSValue() : args[i]);
    std::vector<AVSValue> items;
    for (int k = 0; args[i].IsArray() && k < args[i].ArraySize(); ++k) items.push_back(args[i][k]);
    seen->elements.push_back(items);
  }
  return AVSValue(7);
}

std::string ErrorOf(ScriptEnvironment& env, const char* name, const std::vector<AVSValue>& args,
                    const std::vector<const char*>& names = {}) {
  try {
    env.Call(name, args, names);
  } catch (const AvisynthError& e) {
    return e.msg;
  }
  return "";
}

class InvokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.AddFunction("Scale", "i[factor]f[name]s[on]b", &Record, &seen);
    env.AddFunction("Join", "i+[sep]s", &Record, &seen);
    env.AddFunction("Any", "s*", &Record, &seen);
  }
  ScriptEnvironment env;
  Seen seen;
};

}  // namespace

TEST_F(InvokeTest, FillsAbsentOptionalArgumentsWithVoid) {
  AVSValue result = env.Call("Scale", {5});
  EXPECT_EQ(result.AsInt(), 7);
  EXPECT_EQ(seen.types, (std::vector<char>{'i', 'v', 'v', 'v'}));
}

TEST_F(InvokeTest, PlacesNamedArgumentsCaseInsensitivelyAndPromotesIntToFloat) {
  env.Call("scale", {5, 2, true}, {nullptr, "Factor", "on"});
  ASSERT_EQ(seen.types, (std::vector<char>{'i', 'f', 'v', 'b'}));
  EXPECT_FLOAT_EQ(seen.values[1].AsFloat(), 2.0f);
  EXPECT_TRUE(seen.values[3].AsBool());
  // Positionally too.
  env.Call("Scale", {5, 1.5, "x"});
  EXPECT_EQ(seen.types, (std::vector<char>{'i', 'f', 's', 'v'}));
}

TEST_F(InvokeTest, RefusesBadArgumentsWithClearMessages) {
  EXPECT_EQ(ErrorOf(env, "Scale", {"five"}), "Scale: argument 1 must be an int, got a string");
  EXPECT_EQ(ErrorOf(env, "Scale", {1.5}), "Scale: argument 1 must be an int, got a float");
  EXPECT_EQ(ErrorOf(env, "Scale", {5, "x"}, {nullptr, "factor"}),
            "Scale: argument 2 (factor) must be a float, got a string");
  EXPECT_EQ(ErrorOf(env, "Scale", {}), "Scale: argument 1 (an int) is missing");
  EXPECT_EQ(ErrorOf(env, "Scale", {5, 1}, {nullptr, "size"}),
            "Scale: no argument named 'size'");
  EXPECT_EQ(ErrorOf(env, "Scale", {5, 1, 2}, {nullptr, nullptr, "factor"}),
            "Scale: argument 'factor' given twice");
  EXPECT_EQ(ErrorOf(env, "Scale", {5, 1.0, "n", true, 9}),
            "Scale: too many arguments (it takes at most 4)");
  EXPECT_EQ(ErrorOf(env, "Scale", {1, 5}, {"factor", nullptr}),
            "Scale: positional argument 2 follows named arguments");
  EXPECT_EQ(ErrorOf(env, "Nothing", {}), "there is no function named 'Nothing'");
}

TEST_F(InvokeTest, RepeatsCollectValuesIntoArrays) {
  env.Call("Join", {1, 2, 3, ","}, {nullptr, nullptr, nullptr, "sep"});
  ASSERT_EQ(seen.types, (std::vector<char>{'a', 's'}));
  ASSERT_EQ(seen.elements[0].size(), 3u);
  EXPECT_EQ(seen.elements[0][2].AsInt(), 3);
  EXPECT_EQ(ErrorOf(env, "Join", {}), "Join: argument 1 (an int) is missing");
  EXPECT_EQ(ErrorOf(env, "Join", {"a"}), "Join: argument 1 must be an int, got a string");

  env.Call("Any", {});
  ASSERT_EQ(seen.types, (std::vector<char>{'a'}));
  EXPECT_EQ(seen.elements[0].size(), 0u);
  env.Call("Any", {"a", "b"});
  EXPECT_EQ(seen.elements[0].size(), 2u);
  EXPECT_EQ(ErrorOf(env, "Any", {"a", 1}), "Any: too many arguments (it takes at most 1)");
}

TEST_F(InvokeTest, RefusesMalformedRegistrations) {
  try {
    env.AddFunction("Broken", "c[T", &Record, nullptr);
    FAIL() << "accepted";
  } catch (const AvisynthError& e) {
    EXPECT_NE(std::string(e.msg).find("Broken"), std::string::npos) << e.msg;
  }
  EXPECT_FALSE(env.FunctionExists("Broken"));
  EXPECT_TRUE(env.FunctionExists("JOIN"));
}
