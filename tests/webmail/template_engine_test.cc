// The token engine against a scripted POP3 session and in-memory files:
// the token syntax, the message and list tokens, the action tokens and
// their POST-from-our-own-pages rule, favourites groups, includes and jumps.
#include "webmail/template_engine.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "testing/fake_env.h"

namespace netrove {
namespace {

// Answers commands from a table: the reply line and, for a positive
// reply, the body lines that follow (up to the "." line).
class ScriptedMailbox : public MailboxLink {
 public:
  bool Command(std::string_view line, std::string& reply) override {
    sent.emplace_back(line);
    auto it = script.find(std::string(line));
    reply = it == script.end() ? "-ERR No such message" : it->second.first;
    body_ = it == script.end() ? std::vector<std::string>() : it->second.second;
    return true;
  }
  bool ReadBody(const std::function<void(std::string_view)>& sink) override {
    for (const std::string& line : body_) sink(line);
    return true;
  }
  std::map<std::string, std::pair<std::string, std::vector<std::string>>> script;
  std::vector<std::string> sent;

 private:
  std::vector<std::string> body_;
};

class TemplateEngineTest : public ::testing::Test {
 protected:
  TemplateEngineTest() {
    env_.PutFile("mymail/row.inc", "<li>&&user</li>\n");
    env_.PutFile("servpop3.dat", "USER ann secret\n");
    mailbox_.script["TOP 1 0"] = {"+OK", {"From: \"Ann\" <ann@x.org>", "Subject: &&user <b>"}};
    mailbox_.script["TOP 2 0"] = {"+OK", {"From: bob@y.org", "Reply-To: <r@y.org>"}};
    mailbox_.script["MLIST 1"] = {"+OK 1 123456752B16A65", {}};  // the size, then the DOS time
    mailbox_.script["BODY 1"] = {"+OK", {"see www.example.com, <b>&&user</b>"}};
    request_.user = "ann";
    request_.message_count = 2;
  }
  std::string Render(std::string_view text, bool scan = false) {
    TemplateEngine engine(context_, request_);
    return engine.RenderTemplate(text, scan);
  }

  testing::FakeEnv env_;
  ScriptedMailbox mailbox_;
  TemplateContext context_{env_, "mymail", "MailBox/ANN", &mailbox_};
  WebMailRequest request_;
};

TEST_F(TemplateEngineTest, TokenSyntaxListsAndMessageValuesThatStayInert) {
  // A name runs over every character from "A" to "z" ("]" among them).
  EXPECT_EQ(Render("(&&User)(&&user(\"x\"))(&&nosuch!)[&&Q]"),
            "(ann)(ann)((BAD COMMAND=nosuch)!)[(BAD COMMAND=q])");
  EXPECT_EQ(Render("a&&include(\"row.inc\")b&&include(\"../servpop3.dat\")c"),
            "a<li>ann</li>\r\nbc");
  EXPECT_EQ(
      Render("&&messageslist(\"&&messageindex:&&messagefrom:&&messagesubject:&&messagereply\")"),
      "1:Ann:&amp;&amp;user &lt;b&gt;:ann@x.org\n2:bob@y.org:none:r@y.org\n");
  request_.query = "1";
  EXPECT_EQ(Render("&&messagework&&messagesize &&messagedate|&&messagebody"),
            "1,234,567 2021-05-17 13:19:10|see <a href=\"http://www.example.com\" "
            "target=linkswnd>www.example.com</a>, &lt;b&gt;&amp;&amp;user&lt;/b&gt; <br>");
  request_.query = "9";  // no such message: the fallbacks, the last size shown
  EXPECT_EQ(Render("&&messagework&&messagefrom &&messagesubject &&messagereply &&messagesize"),
            "unknown none - 1,234,567");
  // Scan mode: only mailauth, mailbox and include act.
  request_.query = "<x>";
  EXPECT_EQ(Render("&&mailauth&&mailbox(\"Saved\")&&user&&param&&include(\"row.inc\")", true),
            "<li></li>\r\n");
  EXPECT_TRUE(request_.auth_required);
  EXPECT_EQ(request_.folder, "Saved");
  EXPECT_EQ(Render("&&param"), "&lt;x&gt;");
  // Includes that include themselves end.
  env_.PutFile("mymail/loop.inc", "x&&include(\"loop.inc\")");
  std::string lines;
  for (int i = 0; i < kMaxIncludes; ++i) lines += "\r\n";
  EXPECT_EQ(Render("&&include(\"loop.inc\")"), std::string(kMaxIncludes, 'x') + lines);
}

TEST_F(TemplateEngineTest, JumpsStayOneLineAndOnTheWeb) {
  for (const auto& [param, location] : std::vector<std::pair<std::string, std::string>>{
           {"index.htm?&&param", "index.htm?a&b"},
           {"C:\\\\x", kBadUrlPage},
           {"//evil.example/", kBadUrlPage},
           {" /\\evil.example/", kBadUrlPage},
           {"javascript:alert(1)", kBadUrlPage},
           {"http://mail:3128/&&referer", "http://mail:3128/r\"x"}}) {
    request_.query = "a&b";
    request_.referer = "r\r\n\"x";
    request_.redirect.clear();
    EXPECT_EQ(Render("&&jump(\"" + param + "\")"), "");
    EXPECT_EQ(request_.redirect, location) << param;
  }
}

TEST_F(TemplateEngineTest, ActionsFavouritesAndGroupNames) {
  const std::string moves = "&&messagedelete(\"../Sa ved\")&&referer";
  request_.form = "&d2=on&d1=on&referer=back.htm";
  EXPECT_EQ(Render(moves), "");  // a GET, or a POST from another site: nothing moves
  request_.trusted_post = true;
  EXPECT_EQ(Render(moves), "back.htm");
  EXPECT_EQ(mailbox_.sent, (std::vector<std::string>{"MDELE 2 Saved", "MDELE 1 Saved"}));

  const std::string list = "&&favoriteslist(\"&&favoritetitle=&&favoriteurl;\")";
  for (const char* form :
       {"&title=B&url=javascript://alert(1)", "&title=<i>&url=https://i.example/?a=1&amp;b"}) {
    request_.form = form;
    (void)Render("&&favoriteadd");
  }
  EXPECT_EQ(Render(list),
            "Netrove web mail=https://github.com/netrove/netrove#readme;\n"
            "&lt;i&gt;=https://i.example/?a=1;\n");

  // A group name keeps letters, digits, blanks, "-" and "_"; the current
  // group is listed first.
  request_.form = "&group=Work/../x";
  (void)Render("&&favoritegroupset(\"\")");
  EXPECT_EQ(request_.group, "Workx");
  (void)Render(list);  // makes Workx.fvr
  request_.group = "Main";
  EXPECT_EQ(Render("&&favoritegroupslist(\"(&&favoritegroup)\")&&favoritegroup"),
            "(Main)\n(Workx)\nMain");
  (void)Render("&&favoritegroupdelete(\"Workx\")");
  EXPECT_EQ(request_.group, "");
  EXPECT_FALSE(env_.FileText("MailBox/ANN/Workx.fvr"));
}

}  // namespace
}  // namespace netrove
