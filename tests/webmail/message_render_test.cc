// Header decoding, header fields, listing replies and body lines as HTML,
// with hostile text that must stay text.
#include "webmail/message_render.h"

#include <gtest/gtest.h>

#include "mail/mail_names.h"

namespace netrove {
namespace {

MessageHeaderInfo Load(std::initializer_list<std::string_view> lines) {
  MessageHeaderInfo info;
  for (std::string_view line : lines) ApplyHeaderLine(line, info);
  return info;
}

TEST(DecodeHeaderText, EncodedWordsAndBrokenOnes) {
  const std::pair<std::string, std::string> cases[] = {
      {" =?koi8-r?B?0NLJ18XU?= ", "\xD0\xD2\xC9\xD7\xC5\xD4"},  // raw bytes, charset unused
      {"=?x?q?abc=41?= =?x?Q?=41bc?=", "abcA Abc"},
      {"Re: =?x?Q?a_b?= =?x?B?Y*w==?=", "Re: a_b c"},  // "_" stays; bad Base64 skipped
      {"  =?x?Q?=4G?= keep  ", "=?x?Q?=4G?= keep"},    // bad escape: as received
      {"=?x?Q?A?= =?x?Q?=4?=", "A =?x?Q?=4?="},        // the reply_to_first word stands
      {"=?x?Z?abc?=", "=?x?Z?abc?="},                  // unknown encoding
      {"a =?x?Q?", "a =?x?Q?"},                        // unterminated words
      {"=?", "=?"},
      {"=?x?Q?=3D=3Fx=3FQ=3Fok=3F=3D?=", "ok"},                // the result decoded again
      {std::string(254, 'a') + "  b", std::string(254, 'a')},  // cut, then trimmed
  };
  for (const auto& [text, decoded] : cases) EXPECT_EQ(DecodeHeaderText(text), decoded) << text;
}

TEST(ApplyHeaderLine, FieldsAndReplyAddress) {
  const MessageHeaderInfo info = Load({"SUBJECT: =?x?Q?=3Cimg src=3Dx onerror=3Dalert(1)=3E?=",
                                       "From: \"Bob B\" <bob@host.example>", "\tfrom: <x@y.z>",
                                       "Content-Type: =?x?Q?text/html=22 onload=3D=22x?="});
  EXPECT_EQ(info.subject, "<img src=x onerror=alert(1)>");
  EXPECT_EQ(info.from + "|" + info.reply, "Bob B|bob@host.example");
  EXPECT_EQ(ContentTypeMeta(info.content_type),
            "<meta http-equiv=\"Content-Type\" content=\"text/html&quot; onload=&quot;x\">");
  EXPECT_EQ(ContentTypeMeta(""), "");
  EXPECT_EQ(RenderMessageLine(info.subject, "mailto:"), "&lt;img src=x onerror=alert(1)&gt; ");
  for (const MessageHeaderInfo& i :  // Reply-To wins in either order
       {Load({"Reply-To: L <l@x.example>", "from: ann@x.example"}),
        Load({"from: ann@x.example", "reply-to:l@x.example "})})
    EXPECT_EQ(i.from + "|" + i.reply, "ann@x.example|l@x.example");
  EXPECT_EQ(Load({"From: <c@x.example>"}).from, "c@x.example");
  EXPECT_EQ(Load({"From: a>" + std::string(250, 'b')}).from.size(), kHeaderTextLimit);
}

TEST(ParseListingReply, SizeAndDosDate) {
  const ListingInfo info = ParseListingReply("+OK 3 12345672ab16DA5").value_or(ListingInfo{});
  EXPECT_EQ(info.size, 1234567u);
  EXPECT_EQ(info.time, PackDosDateTime(990107110));  // 2001-05-17 13:45:10
  EXPECT_EQ(DosDateTimeText(info.time), "2001-05-17 13:45:10");
  EXPECT_EQ(DosDateTimeText(PackDosDateTime(4354819199)), "2107-12-31 23:59:58");
  for (const char* bad :
       {"-ERR No such message", "+OK 3 2AB16DA5", "+OK 3", "+OK 3 1x2AB16DA5", "+OK 3 1 2AB16DA5",
        "+OK 3 12AB16DZ5", "+OK 3 184467440737095516162AB16DA5"})
    EXPECT_FALSE(ParseListingReply(bad)) << bad;
}

TEST(RenderMessageLine, LinksEscapingAndIcq) {
  const std::pair<std::string, std::string> cases[] = {
      {"see www.netrove.invalid, mail bob@host.example.",
       "see <a href=\"http://www.netrove.invalid\" target=linkswnd>www.netrove.invalid</a>, mail "
       "<a href=\"mailto:bob@host.example.\">bob@host.example.</a> "},
      {"ICQ: 12345; UIN 12a45",
       "ICQ: <a href=\"http://icq.netrove.invalid/people/12345\" target=icqwnd>12345</a> <img "
       "src=\"http://icq.netrove.invalid/status.gif?uin=12345&amp;img=5\">; UIN 12a45 "},
      {"go http://x.example/a?b=1&c=2. http://ab HTTPS://x.example",
       "go <a href=\"http://x.example/a?b=1&amp;c=2\" target=linkswnd>http://x.example/a?b=1&amp;"
       "c=2</a>. http://ab <a href=\"HTTPS://x.example\" target=linkswnd>HTTPS://x.example</a> "},
      {"<script>alert('x\"')</script> javascript:alert(1)",
       "&lt;script&gt;alert(&#39;x&quot;&#39;)&lt;/script&gt; javascript:alert(1) "},
      {"a > b > c &&user", "a &gt; b &gt; c &amp;&amp;user "},
      {"x\"@y.z @y.z", "<a href=\"mailto:x&quot;@y.z\">x&quot;@y.z</a> @y.z "},
  };
  for (const auto& [line, html] : cases) EXPECT_EQ(RenderMessageLine(line, "mailto:"), html);
  EXPECT_EQ(RenderMessageLine("a@b.c", "?to=\"&"), "<a href=\"?to=&quot;&amp;a@b.c\">a@b.c</a> ");
  EXPECT_EQ(QuoteBodyLine("<b>&&x\""), "&gt;&lt;b&gt;&amp;&amp;x&quot;\r\n");
}

}  // namespace
}  // namespace netrove
