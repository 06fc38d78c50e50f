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

struct ExitProc {
  uint64_t number;
  std::function<void()> proc;
};

std::vector<ExitProc>& ExitProcs() {
  static std::vector<ExitProc> procs;
  return procs;
}

uint64_t next_exit_proc = 1;  // guarded by ExitMutex()

}  // namespace

std::string ProgramDirectory() {
  const char* home = std::getenv("NETROVE_HOME");
  if (home != nullptr && home[0] != '\0') {
    std::string dir = home;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  }
  return ExecutableDirectory();
}

std::string ExecutableDirectory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string InProgramDirectory(const std::string& name) {
  std::string dir = ProgramDirectory();
  return dir + (dir == "/" ? "" : "/") + name;
}

bool EnterProgramDirectory() { return chdir(ProgramDirectory().c_str()) == 0; }

void RaiseDescriptorLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

uint64_t AddExitProc(std::function<void()> proc) {
  std::lock_guard<std::mutex> lock(ExitMutex());
  uint64_t number = next_exit_proc++;
  ExitProcs().push_back({number, std::move(proc)});
  return number;
}

void RemoveExitProc(uint64_t number) {
  std::lock_guard<std::mutex> lock(ExitMutex());
  std::erase_if(ExitProcs(), [number](const ExitProc& p) { return p.number == number; });
}

void RunExitChain() {
  std::vector<ExitProc> procs;
  {
    std::lock_guard<std::mutex> lock(ExitMutex());
    procs.swap(ExitProcs());
  }
  for (auto it = procs.rbegin(); it != procs.rend(); ++it) it->proc();
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
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

void FatalError(Console& console, const std::string& message) {
  console.WriteLine("Error: " + message);
  HaltProgram(99);
}

}  // namespace netrove
