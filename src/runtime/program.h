// Process-wide facilities: the program directory, the descriptor limit,
// the exit chain and the orderly halt. The exit chain is process state by
// nature (there is one exit); its procedures are added by the program
// context that owns what they stop, and removed again with it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/console.h"

namespace netrove {

// The program directory: $NETROVE_HOME when set and non-empty, otherwise
// the directory of the running executable (from /proc/self/exe). Always
// ends without a trailing slash (except for "/").
std::string ProgramDirectory();
// The directory of the running executable, whatever NETROVE_HOME says.
std::string ExecutableDirectory();
// `name` in the program directory.
std::string InProgramDirectory(const std::string& name);

// Makes the program directory the working directory. Returns false when
// it cannot be entered.
[[nodiscard]] bool EnterProgramDirectory();

// Raises the soft limit of open descriptors to the hard limit, as servers
// do: every client connection costs descriptors. Call once at start.
void RaiseDescriptorLimit();

// Adds a procedure to the exit chain; procedures run in reverse order of
// adding when the process halts through HaltProgram. Returns its number
// for RemoveExitProc. Thread-safe.
uint64_t AddExitProc(std::function<void()> proc);
void RemoveExitProc(uint64_t number);
// Runs the exit chain once (later calls do nothing, until procedures are
// added again).
void RunExitChain();

// Ends the process in order: runs the exit chain, flushes standard output
// and ends with `code`. Never returns. Safe to call from any task; a
// procedure of the chain that halts again ends the process at once.
[[noreturn]] void HaltProgram(int code);

// Prints "Error: " + message on the console and halts with exit code 99.
[[noreturn]] void FatalError(Console& console, const std::string& message);

// The process exit code of a run-time error (an exception nobody caught).
inline constexpr int kRuntimeErrorCode = 70;

}  // namespace netrove
