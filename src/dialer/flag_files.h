// Flag files: empty files whose presence another program creates
// (BREAKFLAG, SLEEPFLAG, EXECUTEFLAG) or watches (CONNECTFLAG, DIALFLAG).
// Names are relative to the working directory (the program directory); an
// empty name stands for no flag. Thread-safe; failures are results.
#pragma once

#include <string>

#include "runtime/env.h"

namespace netrove {

class FlagFiles {
 public:
  explicit FlagFiles(Env& env) : env_(env) {}
  // An existing flag is left as it is.
  void Create(const std::string& name) {
    if (!name.empty()) (void)TouchFile(env_, name);
  }
  // True when the flag is gone afterwards.
  bool Delete(const std::string& name) { return !name.empty() && env_.RemoveFile(name); }
  bool Exists(const std::string& name) { return !name.empty() && FileExists(env_, name); }

 private:
  Env& env_;
};

}  // namespace netrove
