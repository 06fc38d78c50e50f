#include "runtime/program.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/console.h"

namespace netrove {
namespace {

std::mutex& ExitMutex() {
  static std::mutex m;
  return m;
}

std::vector<std::function<void()>>& ExitProcs() {
  static std::vector<std::function<void()>> procs;
  return procs;
}

}  // namespace

std::string ProgramDirectory() {
  const char* home = std::getenv("NETROVE_HOME");
  if (home != nullptr && home[0] != '\0') {
    std::string dir = home;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  }
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool EnterProgramDirectory() { return chdir(ProgramDirectory().c_str()) == 0; }

void RaiseDescriptorLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

void AddExitProc(std::function<void()> proc) {
  std::lock_guard<std::mutex> lock(ExitMutex());
  ExitProcs().push_back(std::move(proc));
}

void RunExitChain() {
  std::vector<std::function<void()>> procs;
  {
    std::lock_guard<std::mutex> lock(ExitMutex());
    procs.swap(ExitProcs());
  }
  for (auto it = procs.rbegin(); it != procs.rend(); ++it) (*it)();
}

void HaltProgram(int code) {
  // Only one task runs the halt. Another caller waits for the process to
  // end; the halting thread itself (an exit procedure that failed fatally)
  // ends it at once instead of waiting on itself.
  static std::atomic<bool> halting{false};
  static std::atomic<std::thread::id> halter{};
  if (halting.exchange(true)) {
    if (halter.load() == std::this_thread::get_id()) std::_Exit(code);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  halter.store(std::this_thread::get_id());
  RunExitChain();
  ConsoleShutdown();
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

void FatalError(const std::string& message) {
  ConsoleWriteLine("Error: " + message);
  HaltProgram(99);
}

}  // namespace netrove
