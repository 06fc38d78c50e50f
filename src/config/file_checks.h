// Warnings about the permissions of the files the program reads at start.
// Each returns true when it warned (through `log`).
#pragma once

#include <string>

#include "runtime/env.h"
#include "runtime/log.h"

namespace netrove {

// netrove.dat, or the program directory, can be written by other users
// (the file starts programs).
bool WarnIfConfigWritable(Env& env, Log& log);
// netrove.dat or the phonebook holds a password and group or others may
// read it.
bool WarnIfPasswordsReadable(Env& env, Log& log, const std::string& phonebook_path);

}  // namespace netrove
