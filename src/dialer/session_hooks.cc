#include "dialer/session_hooks.h"

#include <fcntl.h>
#include <unistd.h>

#include "runtime/files.h"

namespace netrove {

SessionHooks::SessionHooks()
    : fire_event([](int) { return false; }),
      reset_event_counts([] {}),
      run_program_list([](const std::vector<std::string>&) {}),
      create_flag_file([](const std::string& name) {
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
      }),
      delete_flag_file([](const std::string& name) { unlink(name.c_str()); }),
      flag_file_exists([](const std::string& name) { return FileExists(name); }),
      start_accounting([](uint32_t) {}),
      account([](uint32_t) {}),
      end_accounting([] {}),
      select_tariff([] {}),
      save_statistics([] {}),
      start_halt_service([] {}),
      stop_halt_service([] {}),
      start_services([] {}),
      stop_services([] {}),
      first_link_test([] { return true; }),
      link_test([] { return true; }),
      start_link_watch([] {}),
      stop_link_watch([] {}),
      read_modem_statistics([](const std::string&) { return std::string(); }),
      auto_update_tick([] {}),
      traffic_rate([] { return 0u; }),
      zero_traffic_counters([] {}),
      empty_failed_connect_cache([] {}),
      local_interface_description([] { return std::string(); }) {}

}  // namespace netrove
