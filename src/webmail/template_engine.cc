#include "webmail/template_engine.h"

#include <algorithm>
#include <charconv>

#include "runtime/text.h"
#include "webmail/webmail_text.h"

namespace netrove {

namespace {

constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;
constexpr size_t kMaxGroupName = 50;

struct Token {
  std::string name;  // lower case
  std::optional<std::string> param;
  size_t end = 0;  // just after the token
};

// The token at `at` (which holds "&&").
Token ParseToken(std::string_view text, size_t at) {
  Token token;
  size_t i = at + 2;
  if (i < text.size()) {
    token.name += text[i++];
    while (i < text.size() && text[i] >= 'A' && text[i] <= 'z') token.name += text[i++];
  }
  token.name = LowerAscii(token.name);
  if (text.substr(i, 2) == "(\"") {
    const size_t close = text.find("\")", i + 2);
    if (close != std::string_view::npos) {
      token.param = std::string(text.substr(i + 2, close - i - 2));
      i = close + 2;
    }
  }
  token.end = i;
  return token;
}

uint16_t NumberOr0(std::string_view text) {
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > 65535) return 0;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::string FavouritesGroupName(std::string_view text) {
  std::string out;
  for (char c : text) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    c == ' ' || c == '-' || c == '_';
    if (ok && out.size() < kMaxGroupName) out += c;
  }
  return Trim(out);
}

namespace {

// A location a page may redirect to: one of our pages, or a web address
// ("C:\\x", "\\\\host", "//host", "/\\host" and other schemes are not).
bool IsJumpLocation(std::string_view location) {
  auto slash = [](char c) { return c == '/' || c == '\\'; };
  if ((location.size() >= 2 && slash(location[0]) && slash(location[1])) ||
      location.substr(0, 3).find(':') != std::string_view::npos)
    return false;
  const size_t colon = location.find(':');
  if (colon == std::string_view::npos || colon > location.find_first_of("/?#")) return true;
  return StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "https://");
}

// The web addresses a favourite may hold.
bool IsFavouriteAddress(std::string_view address) {
  if (address == "http://" || address.find("//") == std::string_view::npos) return false;
  return StartsWithNoCase(address, "http://") || StartsWithNoCase(address, "https://") ||
         StartsWithNoCase(address, "ftp://");
}

}  // namespace

struct TemplateEngine::Run {
  bool for_header = false;  // the location of a jump: values raw, one line
  int depth = 0;
  std::string Out(std::string_view value) const {
    return for_header ? HeaderSafe(value) : HtmlEscape(value);
  }
};

TemplateEngine::~TemplateEngine() = default;

std::string TemplateEngine::RenderTemplate(std::string_view text, bool scan) {
  return Render(text, scan, false, 0);
}

std::string TemplateEngine::Render(std::string_view text, bool scan, bool for_header, int depth) {
  Run run{for_header, depth};
  std::string out, input(text);
  size_t i = 0;
  while (out.size() <= kMaxPageBytes) {
    const size_t at = input.find("&&", i);
    out.append(input, i, at == std::string::npos ? std::string::npos : at - i);
    if (at == std::string::npos) break;
    Token token = ParseToken(input, at);
    if (scan && token.name != "mailauth" && token.name != "mailbox" && token.name != "include") {
      i = token.end;
      continue;
    }
    if (token.name == "include") {
      // What an included file brings is the template's own: read again.
      input = Include(token.param.value_or("")) + input.substr(token.end);
      i = 0;
      continue;
    }
    out += Value(run, token.name, token.param);
    i = token.end;
  }
  if (out.size() > kMaxPageBytes) out.resize(kMaxPageBytes);
  return out;
}

// The lines of an included file, each with CR LF; "" for a name that
// does not stay inside the template directory, a missing file, or past
// the include limit.
std::string TemplateEngine::Include(const std::string& name) {
  if (++includes_ > kMaxIncludes) return "";
  std::optional<std::string> path = ResolveInside(context_.env, context_.template_dir, name);
  std::optional<std::string> data;
  if (path) data = context_.env.ReadFile(*path, kMaxIncludeBytes);
  if (!data) return "";
  std::string lines;
  ForEachLine(*data, [&](std::string_view line) { lines.append(line).append("\r\n"); });
  return lines;
}

// Sends "<verb> <current message><rest>"; true when the reply (in
// `reply`) is positive, its lines, if any, still to be read.
bool TemplateEngine::AskAboutMessage(std::string_view verb, std::string_view rest,
                                     std::string& reply) {
  return context_.mailbox &&
         context_.mailbox->Command(
             std::string(verb) + " " + std::to_string(request_.message_index) + std::string(rest),
             reply) &&
         reply.starts_with('+');
}

void TemplateEngine::LoadHeader() {
  MessageHeaderInfo& header = request_.header;
  if (!header.stale || request_.message_index == 0 || request_.message_count == 0 ||
      !context_.mailbox)
    return;
  header = MessageHeaderInfo();
  header.stale = false;
  std::string reply;
  if (AskAboutMessage("TOP", " 0", reply))
    context_.mailbox->ReadBody([&](std::string_view line) { ApplyHeaderLine(line, header); });
}

// The listing line of the current message ("MLIST n"), with its "." line
// read; nullopt when the reply is not positive.
std::optional<ListingInfo> TemplateEngine::Listing() {
  std::string reply;
  if (!AskAboutMessage("MLIST", "", reply)) return std::nullopt;
  context_.mailbox->ReadBody([](std::string_view) {});
  return ParseListingReply(reply);
}

// The body of the current message, each line through `render`.
std::string TemplateEngine::Body(std::string (*render)(std::string_view, std::string_view)) {
  std::string reply, out;
  if (!AskAboutMessage("BODY", "", reply)) return out;
  size_t seen = 0;
  context_.mailbox->ReadBody([&](std::string_view line) {
    seen += line.size() + 2;
    if (seen <= kMaxBodyBytes) out += render(line, request_.mail_link_prefix);
  });
  return out;
}

FavouritesFile* TemplateEngine::OpenFavourites() {
  favourites_.reset();
  if (context_.user_directory.empty() || request_.group.empty()) return nullptr;
  auto file = std::make_unique<FavouritesFile>(
      context_.env, context_.user_directory + "/" + request_.group + "." + kFavouritesExtension);
  if (!file->Open()) return nullptr;
  favourites_ = std::move(file);
  return favourites_.get();
}

void TemplateEngine::RefererFromForm() {
  std::string referer = GetFormValue("&referer=", request_.form);
  if (!referer.empty()) request_.referer = referer;
}

std::string TemplateEngine::Rows(Run& run, const std::optional<std::string>& row, size_t count,
                                 const std::function<void(size_t)>& select) {
  std::string rows;
  if (!row || run.depth >= kMaxRowDepth) return rows;
  for (size_t n = 1; n <= count && rows.size() <= kMaxPageBytes; ++n) {
    select(n);
    rows += Render(*row, false, run.for_header, run.depth + 1) + "\n";
  }
  return rows;
}

std::string TemplateEngine::Value(Run& run, const std::string& name,
                                  const std::optional<std::string>& param) {
  WebMailRequest& r = request_;
  const std::string given = param.value_or("");
  if (name == "user") return run.Out(r.user);
  if (name == "param") return run.Out(r.query);
  if (name == "referer") return run.Out(r.referer);
  if (name == "mailauth") {
    r.auth_required = true;
    return "";
  }
  if (name == "mailbox") {
    r.folder = given;
    return "";
  }
  if (name == "mailreply") {
    r.mail_link_prefix = given;
    return "";
  }
  if (name == "jump") {
    // (browsers drop control bytes and outer blanks from a location)
    std::string location;
    for (char c : Render(given, false, true, run.depth + 1))
      if (static_cast<unsigned char>(c) >= 32 && c != 127) location += c;
    location = Trim(location);
    if (!IsJumpLocation(location)) location = kBadUrlPage;
    r.redirect = location;
    return "";
  }
  if (name == "messagescount") return GroupThousands(r.message_count);
  if (name == "messageindex") return GroupThousands(r.message_index);
  if (name == "messageslist") {
    return Rows(run, param, r.message_count, [&](size_t n) {
      r.message_index = static_cast<uint16_t>(n);
      r.header.stale = true;
    });
  }
  if (name == "messagework") {
    r.message_index = NumberOr0(r.query);
    r.header.stale = true;
    return "";
  }
  if (name == "messagefrom" || name == "messagesubject" || name == "messagereply") {
    LoadHeader();
    const MessageHeaderInfo& h = r.header;
    if (name == "messagefrom") return run.Out(h.from.empty() ? "unknown" : h.from);
    if (name == "messagesubject") return run.Out(h.subject.empty() ? "none" : h.subject);
    return run.Out(h.reply.empty() ? "-" : h.reply);
  }
  if (name == "contenttype") {
    LoadHeader();
    return ContentTypeMeta(r.header.content_type);
  }
  if (name == "messagesize") {
    if (std::optional<ListingInfo> listing = Listing()) r.size_text = GroupThousands(listing->size);
    return run.Out(r.size_text);
  }
  if (name == "messagedate") {
    if (std::optional<ListingInfo> listing = Listing())
      r.date_text = DosDateTimeText(listing->time);
    return run.Out(r.date_text);
  }
  if (name == "messagebody") {
    return Body([](std::string_view line, std::string_view prefix) {
      return RenderMessageLine(line, prefix) + "<br>";
    });
  }
  if (name == "messagebodyedit") {
    return Body([](std::string_view line, std::string_view) { return QuoteBodyLine(line); });
  }
  if (name == "messagedelete") {
    if (!r.trusted_post) return "";
    std::string folder;
    for (char c : given)
      if (c != '\\' && c != '/' && c != '.' && c != ' ') folder += c;
    RefererFromForm();
    std::string reply;
    for (uint32_t n : CheckedNumbers(r.form))
      if (!folder.empty() && context_.mailbox)
        context_.mailbox->Command("MDELE " + std::to_string(n) + " " + folder, reply);
    return "";
  }
  if (name == "messagesave") {
    if (r.form.find("&contact") == std::string::npos || r.form.find("&return") != std::string::npos)
      RefererFromForm();
    return "";
  }
  if (name == "favoritegroup") return run.Out(listing_group_.empty() ? r.group : listing_group_);
  if (name == "favoritegroupset") {
    if (!r.trusted_post) return "";
    std::string group = FavouritesGroupName(given);
    if (group.empty()) group = FavouritesGroupName(r.query);
    if (group.empty()) group = FavouritesGroupName(GetFormValue("&group=", r.form));
    if (!group.empty()) r.group = group;
    return "";
  }
  if (name == "favoritegroupslist") {
    std::vector<std::string> groups;
    if (!r.group.empty()) groups.push_back(r.group);
    if (!context_.user_directory.empty()) {
      for (const std::string& g : FavouriteGroups(context_.env, context_.user_directory))
        if (!EqualsNoCase(g, r.group) && g == FavouritesGroupName(g)) groups.push_back(g);
    }
    std::string rows =
        Rows(run, param, groups.size(), [&](size_t n) { listing_group_ = groups[n - 1]; });
    listing_group_.clear();
    return rows;
  }
  if (name == "favoritegroupdelete") {
    if (!r.trusted_post) return "";
    if (!FavouritesGroupName(given).empty()) r.group = FavouritesGroupName(given);
    if (!context_.user_directory.empty() && !r.group.empty()) {
      favourites_.reset();
      (void)context_.env.RemoveFile(context_.user_directory + "/" + r.group + "." +
                                    kFavouritesExtension);
    }
    r.group.clear();
    return "";
  }
  if (name == "favoriteslist") {
    FavouritesFile* file = OpenFavourites();
    if (!file) return "";
    std::string rows = Rows(run, param, file->Count(),
                            [&](size_t n) { r.favourite_index = static_cast<uint16_t>(n); });
    favourites_.reset();
    return rows;
  }
  if (name == "favoriteindex") return GroupThousands(r.favourite_index);
  if (name == "favoritetitle" || name == "favoriteurl") {
    std::optional<Favourite> record;
    if (favourites_) record = favourites_->Get(r.favourite_index);
    if (!record) return "";
    return run.Out(name == "favoritetitle" ? record->title : record->address);
  }
  if (name == "favoriteadd") {
    if (!r.trusted_post) return "";
    RefererFromForm();
    Favourite record{GetFormValue("&title=", r.form).substr(0, kFavouriteFieldSize),
                     GetFormValue("&url=", r.form).substr(0, kFavouriteFieldSize)};
    if (!record.title.empty() && IsFavouriteAddress(record.address) && OpenFavourites())
      (void)favourites_->Add(record);
    favourites_.reset();
    return "";
  }
  if (name == "favoritedelete") {
    if (!r.trusted_post) return "";
    RefererFromForm();
    if (OpenFavourites()) (void)favourites_->Delete(CheckedNumbers(r.form));
    favourites_.reset();
    return "";
  }
  return "(BAD COMMAND=" + run.Out(name) + ")";
}

}  // namespace netrove
