// The token engine of the web mail templates. A token is "&&", a name (its
// first character, whatever it is, and every following character from "A"
// to "z") compared in lower case, and an optional parameter written
// ("...") right after the name. Tokens are replaced by mailbox data, act
// on the local POP3 session, or read the favourites files; an unknown
// name becomes "(BAD COMMAND=<name>)".
//
// What a template brings is expanded: included files and the rows of the
// list tokens. What a value brings (message fields and bodies, the query,
// the referer, the user, favourites, form values) is HTML-escaped and
// never read as a token. The action tokens (messagedelete, favoriteadd,
// favoritedelete, favoritegroupdelete, favoritegroupset) act only on a
// POST from a page of the host "mail" itself.
//
// Thread safety: one rendering per request and task.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/env.h"
#include "webmail/favourites.h"
#include "webmail/message_render.h"

namespace netrove {

// A page grows to at most this much; what would follow is left out.
inline constexpr size_t kMaxPageBytes = 16 * 1024 * 1024;
// Included files per rendering, and the bytes one may have.
inline constexpr int kMaxIncludes = 100;
inline constexpr size_t kMaxIncludeBytes = 1024 * 1024;
// List rows inside list rows.
inline constexpr int kMaxRowDepth = 4;
inline constexpr char kBadUrlPage[] = "bad_url.htm";

// A favourites group as it may stand in a file name and in the cookie:
// letters, digits, blanks, "-" and "_", at most 50, trimmed.
std::string FavouritesGroupName(std::string_view text);

// The POP3 session a page's tokens talk to.
class MailboxLink {
 public:
  virtual ~MailboxLink() = default;
  // Sends a command and reads its first reply line; false when the link
  // failed (the reply is then "").
  virtual bool Command(std::string_view line, std::string& reply) = 0;
  // Reads a dot-terminated body, each line unstuffed to `sink`; false
  // when the link failed before the ".".
  virtual bool ReadBody(const std::function<void(std::string_view line)>& sink) = 0;
};

// The state of one web mail request that the tokens read and change.
struct WebMailRequest {
  std::string user;
  std::string form;     // "&" + the POST body; "" for a GET
  std::string query;    // after "?" in the target, without a leading "="
  std::string referer;  // the Referer header, or a form's "&referer="
  // A POST whose Origin (or, without one, Referer) names the host "mail":
  // the action tokens act only then.
  bool trusted_post = false;

  uint16_t message_count = 0;
  uint16_t message_index = 0;
  uint16_t favourite_index = 1;
  std::optional<std::string> folder;  // set by "mailbox" or the cookie
  std::string group = kDefaultFavouritesGroup;
  std::string mail_link_prefix = "mailto:";
  std::string redirect;
  bool auth_required = false;
  MessageHeaderInfo header;
  std::string size_text;  // the last size shown ("messagesize")
  std::string date_text;  // the last date shown ("messagedate")
};

// What the engine works with besides the request.
struct TemplateContext {
  Env& env;
  std::string template_dir;    // "mymail"
  std::string user_directory;  // the user's mailbox directory (favourites); "" for none
  MailboxLink* mailbox = nullptr;
};

class TemplateEngine {
 public:
  TemplateEngine(TemplateContext& context, WebMailRequest& request)
      : context_(context), request_(request) {}
  ~TemplateEngine();

  // Scan mode acts only on "mailauth", "mailbox" and "include" and removes
  // every other token; full mode replaces every token.
  std::string RenderTemplate(std::string_view text, bool scan);

 private:
  struct Run;
  std::string Render(std::string_view text, bool scan, bool for_header, int depth);
  std::string Value(Run& run, const std::string& name, const std::optional<std::string>& param);
  std::string Include(const std::string& name);
  bool AskAboutMessage(std::string_view verb, std::string_view rest, std::string& reply);
  void LoadHeader();
  std::optional<ListingInfo> Listing();
  std::string Body(std::string (*render)(std::string_view line, std::string_view prefix));
  FavouritesFile* OpenFavourites();
  void RefererFromForm();
  std::string Rows(Run& run, const std::optional<std::string>& row, size_t count,
                   const std::function<void(size_t)>& select);

  TemplateContext& context_;
  WebMailRequest& request_;
  std::unique_ptr<FavouritesFile> favourites_;  // open from OpenFavourites on
  std::string listing_group_;  // the group "favoritegroupslist" is at, "" outside it
  int includes_ = 0;
};

}  // namespace netrove
