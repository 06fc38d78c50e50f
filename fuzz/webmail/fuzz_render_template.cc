// The token engine with hostile message data: the input's first line is a
// template, the rest the header and body lines every message of a
// scripted mailbox returns, and the query, referer and form of the
// request. Whatever the template, nothing crashes and the page stays
// within its bound; with the fixed template of a message page, no "&&"
// and no element the renderer did not write comes out of the message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testing/fake_env.h"
#include "webmail/template_engine.h"

namespace {

using netrove::MailboxLink;

class DataMailbox : public MailboxLink {
 public:
  explicit DataMailbox(std::vector<std::string> lines) : lines_(std::move(lines)) {}
  bool Command(std::string_view line, std::string& reply) override {
    reply =
        line.starts_with("MLIST") ? "+OK 1 " + std::to_string(lines_.size()) + "52B16A65" : "+OK";
    return true;
  }
  bool ReadBody(const std::function<void(std::string_view)>& sink) override {
    for (const std::string& line : lines_) sink(line);
    return true;
  }

 private:
  std::vector<std::string> lines_;
};

// The elements a page of kMessagePage may hold: the template's own and
// those the renderer writes.
constexpr std::string_view kAllowed[] = {"<p>",         "</p>", "<a href=\"",          "</a>",
                                         "<img src=\"", "<br>", "<meta http-equiv=\"", "<textarea>",
                                         "</textarea>"};
constexpr std::string_view kMessagePage =
    "<p>&&messagework&&contenttype&&messagefrom&&messagesubject&&messagereply&&param&&referer"
    "&&messagesize&&messagedate</p>&&messagebody<textarea>&&messagebodyedit</textarea>"
    "&&messagedelete(\"x\")&&favoriteadd&&jump(\"&&referer\")";

std::string Render(std::string_view page, const std::vector<std::string>& lines,
                   const std::string& data) {
  netrove::testing::FakeEnv env;
  DataMailbox mailbox(lines);
  netrove::TemplateContext context{env, "mymail", "MailBox/ANN", &mailbox};
  netrove::WebMailRequest request;
  request.user = "ann";
  request.message_count = 3;
  request.query = "1";
  request.referer = data.substr(0, 200);
  request.form = "&" + data.substr(0, 300);
  request.trusted_post = true;
  netrove::TemplateEngine engine(context, request);
  std::string out = engine.RenderTemplate(page, false);
  if (request.redirect.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t first_end = input.find('\n');
  const std::string page = input.substr(0, first_end);
  std::vector<std::string> lines;
  for (size_t start = first_end == std::string::npos ? input.size() : first_end + 1;
       start < input.size();) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    lines.push_back(input.substr(start, end - start));
    start = end + 1;
  }

  if (Render(page, lines, input).size() > netrove::kMaxPageBytes) __builtin_trap();

  const std::string html = Render(kMessagePage, lines, input);
  if (html.find("&&") != std::string::npos) __builtin_trap();
  for (size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    bool known = false;
    for (std::string_view element : kAllowed) known = known || html.substr(at).starts_with(element);
    if (!known) __builtin_trap();
  }
  return 0;
}
