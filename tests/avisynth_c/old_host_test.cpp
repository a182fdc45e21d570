// An older host that lacks avs_make_writable: the function is registered all
// the same, and calling it is a script error that names what is missing.
#include "tests/avisynth_c/c_host_support.h"

namespace c_entry_test {
namespace {

TEST(OldHost, FunctionIsRegisteredAndCallingItNamesTheMissingFunction) {
  Host& host = OpenHost(VELMORAINE_STANDIN_HOST);
  ASSERT_NE(host.api, nullptr);
  ASSERT_NE(host.api->load_plugin(VELMORAINE_PLUGIN_PATH, STANDIN_ENTRY_INIT), nullptr);
  EXPECT_TRUE(host.api->function_exists("velmoraine"));
  AVS_Value result = Invoke(host, Source(32, 32, AVS_CS_YV12), {});
  ASSERT_EQ(result.type, AVS_TYPE_ERROR);
  EXPECT_NE(std::string(result.d.string).find("avs_make_writable"), std::string::npos) << result.d.string;
  EXPECT_EQ(host.api->live_clips(), 0);
  EXPECT_EQ(host.api->violations(), 0);
}

}  // namespace
}  // namespace c_entry_test
