#include "dialer/phonebook.h"

#include <cstdlib>

#include "runtime/program.h"

namespace netrove {
namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::string PhonebookSection::Get(std::string_view key) const {
  for (const auto& [k, v] : keys)
    if (SameText(k, key)) return v;
  return std::string();
}

bool PhonebookSection::Has(std::string_view key) const {
  for (const auto& kv : keys)
    if (SameText(kv.first, key)) return true;
  return false;
}

std::vector<PhonebookSection> ParsePhonebook(std::string_view text) {
  std::vector<PhonebookSection> sections;
  PhonebookSection* current = nullptr;
  bool dropping = false;  // inside a section past kMaxSections
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (raw.size() > kMaxPhonebookLine) continue;
    std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name =
          close == std::string_view::npos ? std::string_view() : Trim(line.substr(1, close - 1));
      if (!ValidEntryName(name) || sections.size() >= kMaxSections) {
        current = nullptr;
        dropping = true;
        continue;
      }
      sections.push_back(PhonebookSection{std::string(name), {}});
      current = &sections.back();
      dropping = false;
      continue;
    }
    if (current == nullptr || dropping || current->keys.size() >= kMaxKeys) continue;
    size_t split = line.find_first_of(" \t=");
    std::string_view key = line.substr(0, split);
    std::string_view value;
    if (split != std::string_view::npos) {
      value = Trim(line.substr(split));
      if (!value.empty() && value.front() == '=') value = Trim(value.substr(1));
    }
    if (key.empty() || !ValidPhonebookValue(value)) continue;
    current->keys.emplace_back(std::string(key), std::string(value));
  }
  return sections;
}

std::string FormatSection(const PhonebookSection& section) {
  std::string out = "[" + section.name + "]\n";
  for (const auto& [k, v] : section.keys) out += k + " " + v + "\n";
  return out;
}

std::string PhonebookPath() {
  const char* env = std::getenv("NETROVE_PHONEBOOK");
  if (env != nullptr && env[0] != '\0') return env;
  return InProgramDirectory("phonebook");
}

std::optional<std::vector<PhonebookSection>> ReadPhonebook(Env& env, const std::string& path) {
  std::optional<std::string> text = env.ReadFile(path, kMaxPhonebookBytes);
  if (!text) return std::nullopt;
  return ParsePhonebook(*text);
}

const PhonebookSection* FindSection(const std::vector<PhonebookSection>& sections,
                                    std::string_view name) {
  for (const PhonebookSection& s : sections)
    if (SameText(s.name, name)) return &s;
  return nullptr;
}

bool ValidEntryName(std::string_view name) {
  if (name.empty() || name.size() > kMaxEntryName) return false;
  if (name.front() == ' ' || name.back() == ' ') return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127 || c == '[' || c == ']') return false;
  }
  return true;
}

bool ValidPhonebookValue(std::string_view value) {
  if (value.size() > kMaxPhonebookLine) return false;
  for (char c : value) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 32 && c != '\t') || u == 127) return false;
  }
  return true;
}

bool AppendSection(Env& env, const std::string& path, const PhonebookSection& section) {
  if (!ValidEntryName(section.name)) return false;
  for (const auto& [k, v] : section.keys) {
    if (k.empty() || k.find_first_of(" \t=;[") != std::string::npos) return false;
    if (!ValidPhonebookValue(k) || !ValidPhonebookValue(v)) return false;
  }
  std::string text;
  if (FileExists(env, path)) {
    std::optional<std::string> old = env.ReadFile(path, kMaxPhonebookBytes + 1);
    if (!old || old->size() > kMaxPhonebookBytes) return false;
    text = std::move(*old);
    if (FindSection(ParsePhonebook(text), section.name) != nullptr) return false;
    if (!text.empty() && text.back() != '\n') text += '\n';
    if (!text.empty()) text += '\n';
  }
  text += FormatSection(section);
  // A phonebook holds passwords: never readable by others.
  return WriteFileAtomically(env, path, text, 0600, /*keep_mode=*/false);
}

}  // namespace netrove
