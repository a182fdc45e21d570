// The plain-C entry in hosts other than the current one, each opened by
// absolute path with local scope:
//  - an older host (libavisynth.so.8) that lacks avs_make_writable: the
//    function is registered all the same, and calling it is a script error
//    naming what is missing;
//  - a host of a later interface (libavisynth.so.12), which none of the names
//    the entry tries matches: it is found among the loaded objects and works.
#include "tests/avisynth_c/c_host_support.h"

namespace c_entry_test {
namespace {

TEST(OtherHost, FunctionIsRegisteredAndWorksOrNamesWhatTheHostLacks) {
  Host& host = OpenHost(VELMORAINE_STANDIN_HOST);
  ASSERT_NE(host.api, nullptr);
  ASSERT_NE(host.api->load_plugin(VELMORAINE_PLUGIN_PATH, STANDIN_ENTRY_INIT), nullptr);
  EXPECT_TRUE(host.api->function_exists("velmoraine"));
  AVS_Value result = Invoke(host, Source(32, 32, AVS_CS_YV12), {});
  const std::string missing = VELMORAINE_HOST_LACKS;
  if (missing.empty()) {
    ASSERT_EQ(result.type, AVS_TYPE_CLIP) << (result.type == AVS_TYPE_ERROR ? result.d.string : "");
    EXPECT_EQ(FetchPlanes(host, host.api->value_clip(&result), 0).size(), 3u);
    host.api->release_value(&result);
  } else {
    ASSERT_EQ(result.type, AVS_TYPE_ERROR);
    EXPECT_NE(std::string(result.d.string).find(missing), std::string::npos) << result.d.string;
  }
  EXPECT_EQ(host.api->live_clips(), 0);
  EXPECT_EQ(host.api->live_frames(), 0);
  EXPECT_EQ(host.api->violations(), 0);
}

}  // namespace
}  // namespace c_entry_test
