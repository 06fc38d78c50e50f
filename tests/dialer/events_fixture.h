// Shared set-up of the dialer tests: a scratch directory, the log captured
// in memory, and the shared state and hooks put back afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "dialer/events.h"
#include "runtime/local_clock.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"

namespace netrove {

class EventsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("netrove ev " + std::to_string(getpid()) + " " +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    SetLogProc([this](const std::string& message) {
      std::lock_guard<std::mutex> lock(log_mu_);
      log_.push_back(message);
      return message;
    });
    Shared().control_request = kRequestNone;
    Shared().restart_requested = false;
    Shared().link_mode = kLinkIdle;
  }
  void TearDown() override {
    StopActingTasks();
    UpdateConfig([](ConfigRecord& c) { c = ConfigRecord{}; });
    SetGetMailService(nullptr);
    SetCheckUrlService(nullptr);
    SetUpdateService(nullptr);
    SetAbortProgram(nullptr);
    SetHangUp(nullptr);
    SetLocalClockForTesting(nullptr);
    SetLogProc(nullptr);
    Shared().control_request = kRequestNone;
    Shared().restart_requested = false;
    Shared().link_mode = kLinkIdle;
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> Logged() {
    std::lock_guard<std::mutex> lock(log_mu_);
    return log_;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }

  // Waits up to `ms` for `done`.
  template <typename Pred>
  static bool WaitFor(Pred done, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
      if (done()) return true;
      usleep(20000);
    }
    return done();
  }

  std::filesystem::path dir_;
  std::mutex log_mu_;
  std::vector<std::string> log_;
};

}  // namespace netrove
