// Minimal console: line-buffered output on standard output. Replaced by the
// full terminal layer (raw keys, coalesced screen writes) later.
#include "runtime/console.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

namespace netrove {
namespace {

std::mutex& OutMutex() {
  static std::mutex m;
  return m;
}
std::atomic<int> forced_present{-1};
std::atomic<bool> hidden{false};
std::atomic<bool> mid_line{false};

void RawWrite(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

bool ConsolePresent() {
  int forced = forced_present.load();
  if (forced >= 0) return forced != 0;
  static const bool present = isatty(0) && isatty(1);
  return present;
}

void SetConsolePresentForTesting(bool present) { forced_present = present ? 1 : 0; }

void ConsoleStart() {}
void ConsoleShutdown() {
  std::lock_guard<std::mutex> lock(OutMutex());
  if (mid_line.exchange(false) && ConsolePresent() && !hidden) RawWrite("\n");
  std::fflush(stdout);
}

void ConsoleWrite(std::string_view text) {
  std::lock_guard<std::mutex> lock(OutMutex());
  RawWrite(text);
  if (!text.empty()) mid_line = text.back() != '\n';
  std::fflush(stdout);
}

void ConsoleWriteLine(std::string_view text) {
  std::lock_guard<std::mutex> lock(OutMutex());
  RawWrite(text);
  RawWrite("\n");
  mid_line = false;
  std::fflush(stdout);
}

void ConsoleLogLine(std::string_view line) {
  if (!ConsolePresent() || hidden) return;
  std::lock_guard<std::mutex> lock(OutMutex());
  RawWrite("\r");
  RawWrite(line);
  RawWrite("\x1b[K\n");
  mid_line = false;
  std::fflush(stdout);
}

void ConsoleStatusLine(std::string_view text) {
  if (!ConsolePresent() || hidden) return;
  std::lock_guard<std::mutex> lock(OutMutex());
  RawWrite("\r");
  RawWrite(text);
  RawWrite("\x1b[K");
  mid_line = true;
  std::fflush(stdout);
}

void ConsoleEndStatusLine() {
  if (!ConsolePresent() || hidden) return;
  std::lock_guard<std::mutex> lock(OutMutex());
  if (mid_line.exchange(false)) RawWrite("\n");
  std::fflush(stdout);
}

bool ConsoleMidLine() { return mid_line; }

void ConsoleSetTitle(std::string_view title) {
  if (!ConsolePresent() || hidden) return;
  std::lock_guard<std::mutex> lock(OutMutex());
  RawWrite("\x1b]0;");
  RawWrite(title);
  RawWrite("\x07");
  std::fflush(stdout);
}

void ConsoleClearScreen() {
  if (!ConsolePresent() || hidden) return;
  std::lock_guard<std::mutex> lock(OutMutex());
  RawWrite("\x1b[H\x1b[2J");
  mid_line = false;
  std::fflush(stdout);
}

void ConsoleFlush() {
  std::lock_guard<std::mutex> lock(OutMutex());
  std::fflush(stdout);
}

void ConsoleDelay(int ms) {
  ConsoleFlush();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void HideConsole() { hidden = true; }
void ShowConsole() { hidden = false; }
bool ConsoleHidden() { return hidden; }
void MinimiseConsole() {}
void RestoreConsole() {}

bool KeyPressed() { return false; }
int ReadKey() { return 0; }

std::string ReadConsoleLine() {
  std::string line;
  std::getline(std::cin, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace netrove
