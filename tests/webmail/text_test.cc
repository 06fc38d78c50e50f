// Form fields and the names that become files: hostile names, and names
// resolved on a real directory with links pointing out of it and into it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "lib/test_context.h"
#include "webmail/webmail_text.h"

namespace netrove {
namespace {

TEST(WebmailTextTest, FormValuesAndCheckedNumbers) {
  const std::string form = "&d10=ten&d1=+one%21+&url=a%26b&title=&d1=again";
  EXPECT_EQ(GetFormValue("&d1=", form), "one!");
  EXPECT_EQ(GetFormValue("&d10=", form), "ten");
  EXPECT_EQ(GetFormValue("&url=", form), "a&b");
  EXPECT_EQ(GetFormValue("&title=", form), "");
  EXPECT_EQ(GetFormValue("&referer=", form), "");
  EXPECT_EQ(CheckedNumbers("&d5=on&data=x&d12=on&d0=on&d007=on&d65536=on&d65535=&dx&d7=on&d9"),
            (std::vector<uint32_t>{5, 12, 65535, 7}));
}

TEST(WebmailTextTest, SafeLocalPathKeepsHostileNamesInside) {
  const std::pair<std::string, std::string> cases[] = {{"..&/servpop3.dat", "servpop3.dat"},
                                                       {"../x", "x"},
                                                       {". ./x", "x"},
                                                       {".. /x", "x"},
                                                       {"...//x", "x"},
                                                       {"a/./b", "a/b"},
                                                       {"a/../b", "a/b"},
                                                       {"C:\\x.htm", "C/x.htm"},
                                                       {"sub\\page.htm", "sub/page.htm"},
                                                       {"%2e%2e/x", "%2e%2e/x"},
                                                       {"//etc/passwd", "etc/passwd"},
                                                       {" .\\.\\ $/x\x01y\x7f ", "xy"},
                                                       {"a/..", ""},
                                                       {"..", ""},
                                                       {".", ""},
                                                       {"&$: ", ""},
                                                       {"x/.&.", ""}};
  for (const auto& [name, expected] : cases) {
    const std::string safe = SafeLocalPath(name);
    EXPECT_EQ(safe, expected) << name;
    EXPECT_EQ(SafeLocalPath(safe), safe) << name;
  }
}

TEST(WebmailTextTest, ResolveInsideFollowsLinksButNotOutOfTheBase) {
  testing::ScratchDir scratch;
  PosixEnv env;
  const std::string base = scratch / "mymail";
  testing::WriteFile(base + "/page.htm", "page");
  testing::WriteFile(scratch / "secret.txt", "secret");
  ASSERT_EQ(symlink("page.htm", (base + "/in.htm").c_str()), 0);
  ASSERT_EQ(symlink("../secret.txt", (base + "/out.htm").c_str()), 0);
  ASSERT_EQ(symlink(scratch.path().c_str(), (base + "/up").c_str()), 0);
  EXPECT_EQ(ResolveInside(env, base, "page.htm"), base + "/page.htm");
  EXPECT_EQ(ResolveInside(env, base, "in.htm"), base + "/in.htm");
  for (const char* refused : {"out.htm", "up/secret.txt", "../secret.txt", "missing.htm", ".", ""})
    EXPECT_EQ(ResolveInside(env, base, refused), std::nullopt) << refused;
  EXPECT_EQ(ResolveInside(env, scratch / "none", "page.htm"), std::nullopt);
}

}  // namespace
}  // namespace netrove
