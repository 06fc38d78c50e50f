#include "driver/front_record.h"

#include <cstring>

namespace netrove {

uint32_t ChainArena::Allocate() {
  if (!free_.empty()) {
    uint32_t handle = free_.back();
    free_.pop_back();
    nodes_[handle - 1] = std::make_unique<TextChain>();
    return handle;
  }
  if (nodes_.size() >= max_nodes_) return 0;
  nodes_.push_back(std::make_unique<TextChain>());
  return static_cast<uint32_t>(nodes_.size());
}

size_t ChainArena::Fill(TextChain* head, const std::vector<std::string>& entries) {
  std::memset(head, 0, sizeof *head);
  std::lock_guard<std::mutex> lock(mu_);
  TextChain* last = nullptr;
  size_t stored = 0;
  for (const std::string& e : entries) {
    if (e.empty()) continue;
    TextChain* node = head;
    if (last != nullptr) {
      uint32_t handle = Allocate();
      if (handle == 0) break;
      last->next = handle;
      node = nodes_[handle - 1].get();
    }
    ToText(e, node->text);
    node->next = 0;
    last = node;
    ++stored;
  }
  return stored;
}

std::vector<std::string> ChainArena::Read(const TextChain* head, size_t limit) const {
  std::vector<std::string> out;
  if (head == nullptr || head->text[0] == 0) return out;
  std::lock_guard<std::mutex> lock(mu_);
  const TextChain* node = head;
  while (node != nullptr && out.size() < limit) {
    if (node->text[0] != 0) out.push_back(FromText(node->text));
    uint32_t next = node->next;
    if (next == 0 || next > nodes_.size() || !nodes_[next - 1]) break;
    node = nodes_[next - 1].get();
  }
  return out;
}

const TextChain* ChainArena::Node(uint32_t handle) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (handle == 0 || handle > nodes_.size()) return nullptr;
  return nodes_[handle - 1].get();
}

void ChainArena::Free(TextChain* head) {
  if (head == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  uint32_t next = head->next;
  head->next = 0;
  // Bounded by the arena: a freed node can never be reached again.
  while (next != 0 && next <= nodes_.size() && nodes_[next - 1]) {
    uint32_t after = nodes_[next - 1]->next;
    nodes_[next - 1].reset();
    free_.push_back(next);
    next = after;
  }
}

size_t ChainArena::NodesInUse() const {
  std::lock_guard<std::mutex> lock(mu_);
  return nodes_.size() - free_.size();
}

std::string FromText(const unsigned char* text) {
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text + 1), text[0]);
}

void ToText(const std::string& value, unsigned char* text) {
  size_t n = value.size() > 255 ? 255 : value.size();
  text[0] = static_cast<unsigned char>(n);
  if (n > 0) std::memcpy(text + 1, value.data(), n);
}

void PackSettings(const FrontSettings& s, ChainArena& arena, FrontEndSettings* out) {
  std::memset(out, 0, sizeof *out);
  ToText(s.section, out->section);
  ToText(s.entry_name, out->entry_name);
  ToText(s.user, out->user);
  ToText(s.password_mask, out->password_mask);
  ToText(s.phone, out->phone);
  ToText(s.domain, out->domain);
  ToText(s.check_url, out->check_url);
  out->check_url_time = s.check_url_time;
  ToText(s.log_file, out->log_file);
  out->auto_hide = s.auto_hide;
  out->redial = s.redial;
  ToText(s.dial_prefix, out->dial_prefix);
  out->dial_time = s.dial_time;
  out->max_retry = s.max_retry;
  out->wait_time = s.wait_time;
  out->sleep_time = s.sleep_time;
  arena.Fill(&out->add_phone, s.add_phone);
  arena.Fill(&out->off_phone, s.off_phone);
  arena.Fill(&out->event_id, s.event_id);
  ToText(s.break_flag, out->break_flag);
  ToText(s.sleep_flag, out->sleep_flag);
  ToText(s.connect_flag, out->connect_flag);
  ToText(s.dial_flag, out->dial_flag);
  out->break_if_found = s.break_if_found;
  arena.Fill(&out->break_times, s.break_times);
  arena.Fill(&out->execute_flag, s.execute_flag);
  arena.Fill(&out->execute_start, s.execute_start);
  arena.Fill(&out->execute_end, s.execute_end);
  arena.Fill(&out->execute, s.execute);
  arena.Fill(&out->execute_at, s.execute_at);
  arena.Fill(&out->cost, s.cost);
  out->day_time_limit = s.day_time_limit;
  out->week_time_limit = s.week_time_limit;
  out->month_time_limit = s.month_time_limit;
  ToText(s.proxy, out->proxy);
  ToText(s.pop3, out->pop3);
  ToText(s.smtp, out->smtp);
  ToText(s.nntp, out->nntp);
  out->ftp = s.ftp;
  out->socks4 = s.socks4;
  ToText(s.port_dog, out->port_dog);
  out->cache_dns_day = s.cache_dns_day;
  out->net_stop_time = s.net_stop_time;
  out->net_sleep_time = s.net_sleep_time;
  arena.Fill(&out->map_link, s.map_link);
  out->hide_proxy = s.hide_proxy;
  out->hide_pop3 = s.hide_pop3;
  out->hide_smtp = s.hide_smtp;
  out->hide_nntp = s.hide_nntp;
  out->hide_ftp = s.hide_ftp;
  out->hide_socks4 = s.hide_socks4;
  out->hide_port = s.hide_port;
  out->netrove_port = s.netrove_port;
}

FrontSettings UnpackSettings(const FrontEndSettings& in, const ChainArena& arena) {
  FrontSettings s;
  s.section = FromText(in.section);
  s.entry_name = FromText(in.entry_name);
  s.user = FromText(in.user);
  s.password_mask = FromText(in.password_mask);
  s.phone = FromText(in.phone);
  s.domain = FromText(in.domain);
  s.check_url = FromText(in.check_url);
  s.check_url_time = in.check_url_time;
  s.log_file = FromText(in.log_file);
  s.auto_hide = in.auto_hide != 0;
  s.redial = in.redial != 0;
  s.dial_prefix = FromText(in.dial_prefix);
  s.dial_time = in.dial_time;
  s.max_retry = in.max_retry;
  s.wait_time = in.wait_time;
  s.sleep_time = in.sleep_time;
  s.add_phone = arena.Read(&in.add_phone);
  s.off_phone = arena.Read(&in.off_phone);
  s.event_id = arena.Read(&in.event_id);
  s.break_flag = FromText(in.break_flag);
  s.sleep_flag = FromText(in.sleep_flag);
  s.connect_flag = FromText(in.connect_flag);
  s.dial_flag = FromText(in.dial_flag);
  s.break_if_found = in.break_if_found != 0;
  s.break_times = arena.Read(&in.break_times);
  s.execute_flag = arena.Read(&in.execute_flag);
  s.execute_start = arena.Read(&in.execute_start);
  s.execute_end = arena.Read(&in.execute_end);
  s.execute = arena.Read(&in.execute);
  s.execute_at = arena.Read(&in.execute_at);
  s.cost = arena.Read(&in.cost);
  s.day_time_limit = in.day_time_limit;
  s.week_time_limit = in.week_time_limit;
  s.month_time_limit = in.month_time_limit;
  s.proxy = FromText(in.proxy);
  s.pop3 = FromText(in.pop3);
  s.smtp = FromText(in.smtp);
  s.nntp = FromText(in.nntp);
  s.ftp = in.ftp;
  s.socks4 = in.socks4;
  s.port_dog = FromText(in.port_dog);
  s.cache_dns_day = in.cache_dns_day;
  s.net_stop_time = in.net_stop_time;
  s.net_sleep_time = in.net_sleep_time;
  s.map_link = arena.Read(&in.map_link);
  s.hide_proxy = in.hide_proxy != 0;
  s.hide_pop3 = in.hide_pop3 != 0;
  s.hide_smtp = in.hide_smtp != 0;
  s.hide_nntp = in.hide_nntp != 0;
  s.hide_ftp = in.hide_ftp != 0;
  s.hide_socks4 = in.hide_socks4 != 0;
  s.hide_port = in.hide_port != 0;
  s.netrove_port = in.netrove_port;
  return s;
}

}  // namespace netrove
