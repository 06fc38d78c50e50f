// Form fields, hostile file names, and names resolved on a real directory.
#include <gtest/gtest.h>

#include "lib/test_context.h"
#include "webmail/webmail_text.h"

namespace netrove {
namespace {

// clang-format off
TEST(WebmailTextTest, FormFieldsAndHostileFileNames) {
  const std::string f = "&d10=ten&d1=+one%21+&url=a%26b&title=&d1=again";
  EXPECT_EQ(GetFormValue("&d1=", f) + "|" + GetFormValue("&d10=", f) + "|" + GetFormValue("&url=", f)
            + "|" + GetFormValue("&title=", f) + GetFormValue("&x=", f), "one!|ten|a&b|");
  EXPECT_EQ(CheckedNumbers("&d5=on&data=x&d12=on&d0=on&d007=on&d65536=on&d65535=&dx&d7=on&d9"),
            (std::vector<uint32_t>{5, 12, 65535, 7}));
  const std::pair<std::string, std::string> cases[] = {
      {"..&/servpop3.dat", "servpop3.dat"}, {". ./x", "x"}, {"...//x", "x"}, {"a/./b", "a/b"},
      {"C:\\x.htm", "C/x.htm"}, {"sub\\page.htm", "sub/page.htm"}, {"%2e%2e/x", "%2e%2e/x"},
      {" .\\.\\ $/x\x01y\x7f ", "xy"}, {"a/..", ""}, {"x/.&.", ""}, {"&$: ", ""}};
  for (const auto& [name, expected] : cases) EXPECT_EQ(SafeLocalPath(name), expected) << name;
}
// clang-format on

TEST(WebmailTextTest, ResolveInsideFollowsLinksButNotOutOfTheBase) {
  testing::ScratchDir scratch;
  PosixEnv env;
  const std::string base = scratch / "mymail";
  testing::WriteFile(base + "/page.htm", "page");
  ASSERT_EQ(symlink("page.htm", (base + "/in.htm").c_str()), 0);
  ASSERT_EQ(symlink(scratch.path().c_str(), (base + "/out").c_str()), 0);
  EXPECT_EQ(ResolveInside(env, base, "in.htm"), base + "/in.htm");
  for (const char* refused : {"out", "missing.htm", "."})
    EXPECT_EQ(ResolveInside(env, base, refused), std::nullopt) << refused;
}

}  // namespace
}  // namespace netrove
