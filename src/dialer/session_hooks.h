// The calls the dialer and the session controller make into other parts of
// the program (event rules, program lists, accounting, the "Halt
// service", the gateway services, link checks). Each member is one named
// operation; a default-constructed table does nothing except the flag-file
// operations, which act on files relative to the working directory.
//
// A table is immutable once handed to a Dialer (it is shared by pointer);
// install a new one to change it. Each operation must be safe to call from
// the controller's thread and from the "Halt service" task.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace netrove {

struct SessionHooks {
  SessionHooks();

  // Event rules: fires event `number`; true when a rule asks for a reload.
  std::function<bool(int number)> fire_event;
  std::function<void()> reset_event_counts;
  std::function<void(const std::vector<std::string>& commands)> run_program_list;

  // Flag files.
  std::function<void(const std::string& name)> create_flag_file;
  std::function<void(const std::string& name)> delete_flag_file;
  std::function<bool(const std::string& name)> flag_file_exists;

  // Accounting of on-line time and cost.
  std::function<void(uint32_t now)> start_accounting;
  std::function<void(uint32_t now)> account;
  std::function<void()> end_accounting;
  std::function<void()> select_tariff;
  std::function<void()> save_statistics;

  // The "Halt service" watcher of break times and flag files.
  std::function<void()> start_halt_service;
  std::function<void()> stop_halt_service;

  // Every gateway service.
  std::function<void()> start_services;
  std::function<void()> stop_services;

  // Link checks: the first test of a fresh link (announcing the local
  // address) and the test on demand; true when the link works.
  std::function<bool()> first_link_test;
  std::function<bool()> link_test;
  std::function<void()> start_link_watch;
  std::function<void()> stop_link_watch;

  // The modem's own statistics after a call ("" when there are none).
  std::function<std::string(const std::string& command)> read_modem_statistics;
  std::function<void()> auto_update_tick;

  // Average receive rate in bytes per second, its reset, and the cache of
  // failed connections that a fresh link empties.
  std::function<uint32_t()> traffic_rate;
  std::function<void()> zero_traffic_counters;
  std::function<void()> empty_failed_connect_cache;
  // Description of the local interface address.
  std::function<std::string()> local_interface_description;
};

}  // namespace netrove
