#include "webmail/message_render.h"

#include <cstdio>

#include "proxy/proxy_users.h"
#include "runtime/text.h"
#include "webmail/webmail_text.h"

namespace netrove {

namespace {

// Every decoded word makes the text at least six bytes shorter (the "=?",
// the "?" after the character set, the letter and its "?", the "?" ending
// the data; the bytes are never more than their data), so the decoding
// ends by itself within 255 / 6 rounds; the round limit and the length
// check only guard that reasoning.
constexpr size_t kMaxDecodeRounds = kHeaderTextLimit;

std::string TrimmedAndCut(std::string_view text) {
  std::string out = Trim(text);
  if (out.size() > kHeaderTextLimit) out = Trim(std::string_view(out).substr(0, kHeaderTextLimit));
  return out;
}

// The remainder after the data of an encoded word: its "?" dropped, then a
// following "=".
std::string_view AfterEncodedData(std::string_view rest) {
  rest.remove_prefix(1);
  if (rest.starts_with('=')) rest.remove_prefix(1);
  return rest;
}

// One encoded word decoded: `prefix` + bytes + the rest; nullopt when the
// text at `start` ("=?") is not a word this decoder takes, which ends the
// decoding.
std::optional<std::string> DecodeFirstWord(const std::string& text, size_t start) {
  std::string_view prefix = std::string_view(text).substr(0, start);
  std::string_view rest = std::string_view(text).substr(start + 2);
  size_t charset_end = rest.find('?');
  if (charset_end == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(charset_end + 1);
  if (rest.size() < 2 || rest[1] != '?') return std::nullopt;
  const char encoding = UpperAscii(rest.substr(0, 1))[0];
  rest.remove_prefix(2);
  // A word whose data has no closing "?" is not a word: shown as received.
  size_t data_end = rest.find('?');
  if (data_end == std::string_view::npos) return std::nullopt;
  std::string_view data = rest.substr(0, data_end);
  std::string bytes;
  if (encoding == 'B') {
    std::string base64;
    for (char c : data)
      if (c != '=') base64 += c;
    bytes = DecodeBase64(base64).data;
  } else if (encoding == 'Q') {
    for (size_t i = 0; i < data.size(); ++i) {
      if (data[i] != '=') {
        bytes += data[i];
        continue;
      }
      int high = i + 1 < data.size() ? HexDigitValue(data[i + 1]) : -1;
      int low = i + 2 < data.size() ? HexDigitValue(data[i + 2]) : -1;
      if (high < 0 || low < 0) return std::nullopt;
      bytes += static_cast<char>(high * 16 + low);
      i += 2;
    }
  } else {
    return std::nullopt;
  }
  std::string out(prefix);
  out += bytes;
  out += AfterEncodedData(rest.substr(data_end));
  return out;
}

constexpr std::string_view kSeparators = " !#&(),:;<=>?[\\]{|}*";
constexpr std::string_view kSiteEndings[] = {".RU", ".SU", ".NO",  ".FI",  ".CA",  ".PL",  ".AU",
                                             ".US", ".UA", ".COM", ".ORG", ".GOV", ".EDU", ".NET"};

bool IsSeparator(char c) { return kSeparators.find(c) != std::string_view::npos; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The words of a body line turned into HTML, one at a time.
class LineRenderer {
 public:
  explicit LineRenderer(std::string_view mail_link_prefix) : mail_prefix_(mail_link_prefix) {}

  void Add(char c) {
    if (!IsSeparator(c)) {
      if (icq_mode_ && !IsDigit(c)) icq_mode_ = false;  // "12a" is no number
      word_ += c;
      return;
    }
    // (only the head of the word is looked at: a long address stays linear)
    const std::string head = UpperAscii(std::string_view(word_).substr(0, 4));
    if ((c == '&' || c == ':' || c == '=' || c == '?') && (head == "HTTP" || head == "WWW.")) {
      word_ += c;
      return;
    }
    if (!word_.empty()) {
      if (icq_mode_) {
        icq_mode_ = false;
        WriteIcqLink();  // only digits join while the mode is on
      } else {
        FinishWord();
      }
      word_.clear();
    }
    out_ += HtmlEscape(std::string_view(&c, 1));
  }

  std::string Finish() {
    out_ += HtmlEscape(word_);
    return std::move(out_);
  }

 private:
  void FinishWord() {
    std::string upper = UpperAscii(word_);
    if (!upper.empty() && (upper.back() == '.' || upper.back() == '/' || upper.back() == ':'))
      upper.pop_back();
    const std::string text = HtmlEscape(word_);
    if (upper == "UIN" || upper == "ICQ") {
      icq_mode_ = true;
      out_ += text;
      return;
    }
    size_t at = upper.find('@');
    if (at != std::string::npos && at > 0 && at + 1 < upper.size() &&
        upper.find('.', at + 1) != std::string::npos) {
      out_ += "<a href=\"" + HtmlEscape(mail_prefix_) + text + "\">" + text + "</a>";
      return;
    }
    if ((upper.size() > 9 && upper.starts_with("HTTP://")) ||
        (upper.size() > 10 && upper.starts_with("HTTPS://"))) {
      const bool dot = word_.ends_with('.');
      const std::string target = dot ? HtmlEscape(word_.substr(0, word_.size() - 1)) : text;
      out_ += "<a href=\"" + target + "\" target=linkswnd>" + target + "</a>";
      if (dot) out_ += '.';
      return;
    }
    if (upper.size() > 4 && IsSiteName(upper)) {
      out_ += "<a href=\"http://" + text + "\" target=linkswnd>" + text + "</a>";
      return;
    }
    out_ += text;
  }

  static bool IsSiteName(std::string_view upper) {
    if (upper.starts_with("WWW.")) return true;
    for (std::string_view ending : kSiteEndings)
      if (upper.ends_with(ending)) return true;
    return false;
  }

  void WriteIcqLink() {
    out_ += "<a href=\"" + HtmlEscape(kIcqPageAddress) + word_ + "\" target=icqwnd>" + word_ +
            "</a> <img src=\"" + HtmlEscape(kIcqStatusAddress) + word_ + "&amp;img=5\">";
  }

  std::string_view mail_prefix_;
  std::string word_;
  std::string out_;
  bool icq_mode_ = false;
};

}  // namespace

std::string DecodeHeaderText(std::string_view text) {
  std::string result = TrimmedAndCut(text);
  for (size_t round = 0; round < kMaxDecodeRounds; ++round) {
    size_t start = result.find("=?");
    if (start == std::string::npos) break;
    std::optional<std::string> decoded = DecodeFirstWord(result, start);
    if (!decoded || decoded->size() >= result.size()) break;
    result = TrimmedAndCut(*decoded);
  }
  return result;
}

void ApplyHeaderLine(std::string_view line, MessageHeaderInfo& info) {
  const std::string lower = LowerAscii(line.substr(0, 13));
  if (lower.starts_with("subject:")) {
    info.subject = DecodeHeaderText(line.substr(8));
  } else if (lower.starts_with("content-type:")) {
    info.content_type = DecodeHeaderText(line.substr(13));
  } else if (lower.starts_with("from:")) {
    std::string value = DecodeHeaderText(line.substr(5));
    if (value.find('<') == std::string::npos) value = value + " <" + value + ">";
    const size_t open = value.find('<');
    const size_t close = value.find('>', open + 1);
    const std::string address = Trim(std::string_view(value).substr(
        open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
    if (info.reply.empty()) info.reply = address;
    std::string from = value.substr(0, open);
    if (close != std::string::npos) from += value.substr(close + 1);
    std::erase(from, '"');
    // (a ">" inside an address-only value can leave two copies of it)
    info.from = TrimmedAndCut(from);
    // This field's own address: a Reply-To read before does not name the sender.
    if (info.from.empty()) info.from = address;
  } else if (lower.starts_with("reply-to:")) {
    std::string value = DecodeHeaderText(line.substr(9));
    if (size_t open = value.find('<'); open != std::string::npos) value.erase(0, open + 1);
    if (size_t close = value.find('>'); close != std::string::npos) value.erase(close);
    info.reply = Trim(value);
  }
}

std::string ContentTypeMeta(std::string_view content_type) {
  if (content_type.empty()) return "";
  return "<meta http-equiv=\"Content-Type\" content=\"" + HtmlEscape(content_type) + "\">";
}

std::optional<ListingInfo> ParseListingReply(std::string_view line) {
  if (!line.starts_with('+')) return std::nullopt;
  for (int i = 0; i < 2; ++i) {
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    line.remove_prefix(blank + 1);
  }
  if (line.size() < 9) return std::nullopt;
  ListingInfo info;
  for (char c : line.substr(0, line.size() - 8)) {
    if (!IsDigit(c) || info.size > (UINT64_MAX - 9) / 10) return std::nullopt;
    info.size = info.size * 10 + static_cast<uint64_t>(c - '0');
  }
  for (char c : line.substr(line.size() - 8)) {
    int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    info.time = info.time << 4 | static_cast<uint32_t>(digit);
  }
  return info;
}

std::string DosDateTimeText(uint32_t packed) {
  const uint32_t date = packed >> 16;
  const uint32_t time = packed & 0xFFFF;
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9),
                (date >> 5) & 0xF, date & 0x1F, time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2);
  return text;
}

std::string RenderMessageLine(std::string_view line, std::string_view mail_link_prefix) {
  LineRenderer renderer(mail_link_prefix);
  for (char c : line) renderer.Add(c);
  renderer.Add(' ');
  return renderer.Finish();
}

std::string QuoteBodyLine(std::string_view line) {
  std::string quoted = ">";
  quoted += line;
  quoted += "\r\n";
  return HtmlEscape(quoted);
}

}  // namespace netrove
