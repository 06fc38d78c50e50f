// Process-wide facilities: the program directory and the orderly halt.
#pragma once

#include <functional>
#include <string>

namespace netrove {

// The program directory: $NETROVE_HOME when set and non-empty, otherwise
// the directory of the running executable (from /proc/self/exe). Always
// ends without a trailing slash (except for "/").
std::string ProgramDirectory();

// Makes the program directory the working directory. Returns false when
// it cannot be entered.
[[nodiscard]] bool EnterProgramDirectory();

// Raises the soft limit of open descriptors to the hard limit, as servers
// do: every client connection costs descriptors. Call once at start.
void RaiseDescriptorLimit();

// Registers a procedure of the exit chain. Procedures run in reverse order
// of registration when the process halts through HaltProgram (or when the
// library's exit chain runs at process exit). Thread-safe.
void AddExitProc(std::function<void()> proc);

// Runs the exit chain once (later calls do nothing).
void RunExitChain();

// Ends the process in order: runs the exit chain, flushes standard output
// and ends with `code`. Never returns. Safe to call from any task.
[[noreturn]] void HaltProgram(int code);

// Prints "Error: " + message on standard output and halts with exit code 99.
[[noreturn]] void FatalError(const std::string& message);

}  // namespace netrove
