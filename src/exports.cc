// The library's exported entry points. Everything else is hidden. The
// exports only convert between the byte records of netrove/netrove.h and
// the driver's front-end (driver/front_end.h), which holds the logic.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "dialer/autodial.h"
#include "dialer/phonebook_access.h"
#include "driver/entry.h"
#include "driver/front_end.h"
#include "netrove/netrove.h"
#include "runtime/clock.h"
#include "runtime/env_posix.h"
#include "runtime/program.h"

namespace netrove {
namespace {

// RestartRequested of the last session, for the front-end to read after
// "0x01" has returned (the program context is gone by then).
std::atomic<bool> restart_requested{false};

// The library's one front-end state: the exports are process-wide by
// nature, and this is the object behind them. Made on first use.
struct Library {
  PosixEnv env;
  FrontEnd front_end{
      env, [this](const std::string& connection, const std::string& argument, bool start_asleep) {
        restart_requested =
            MainEntry(connection, argument, kInterfaceNumber, start_asleep, &front_end);
      }};
};

Library& Lib() {
  static Library library;
  return library;
}
FrontEnd& Front() { return Lib().front_end; }

std::string CallRoutine(NetroveMessageRoutine routine, const std::string& message) {
  unsigned char in[NETROVE_TEXT_SIZE];
  unsigned char out[NETROVE_TEXT_SIZE] = {0};
  ToText(message, in);
  routine(in, out);
  return FromText(out);
}

// The exported symbols' names are not valid assembler identifiers unless
// quoted, and the compiler's split-off ".cold" parts of a function cannot be
// named after a quoted symbol; so the exports only forward to these.
#define NOINLINE __attribute__((noinline))

NOINLINE void CallMain(const unsigned char* connection, const unsigned char* argument,
                       uint16_t interface_number, uint8_t start_asleep) {
  restart_requested = MainEntry(FromText(connection), FromText(argument), interface_number,
                                start_asleep != 0, &Front());
}

NOINLINE int32_t FillChain(TextChain* chain, const std::vector<std::string>& texts) {
  if (chain == nullptr) return static_cast<int32_t>(texts.size());
  Front().chains().Fill(chain, texts);
  return static_cast<int32_t>(texts.size());
}

NOINLINE int32_t CountSections() { return Front().CountSections(); }
NOINLINE int32_t SectionNames(TextChain* chain) { return FillChain(chain, Front().SectionNames()); }

NOINLINE uint8_t LoadSettings(const unsigned char* name, FrontEndSettings* record) {
  if (record == nullptr) return 0;
  FrontSettings s;
  if (!Front().LoadSettings(FromText(name), s)) return 0;
  PackSettings(s, Front().chains(), record);
  return 1;
}

FrontSettings Unpack(const FrontEndSettings* record) {
  return UnpackSettings(*record, Front().chains());
}

NOINLINE int32_t WriteGlobal(const FrontEndSettings* record) {
  return record == nullptr ? -1 : Front().WriteGlobal(Unpack(record));
}
NOINLINE int32_t Warnings(TextChain* chain) { return FillChain(chain, Front().Warnings()); }
NOINLINE int32_t CountWarnings() { return static_cast<int32_t>(Front().Warnings().size()); }
NOINLINE int32_t EntryNames(TextChain* chain) { return FillChain(chain, Front().EntryNames()); }

NOINLINE uint8_t FetchEntryDefaults(FrontEndSettings* record, const unsigned char* entry) {
  if (record == nullptr) return 0;
  FrontSettings s;
  if (!Front().EntryDefaults(FromText(entry), s)) return 0;
  ToText(s.user, record->user);
  ToText(s.password_mask, record->password_mask);
  ToText(s.phone, record->phone);
  ToText(s.domain, record->domain);
  return 1;
}

NOINLINE int32_t DeleteSection(const FrontEndSettings* record) {
  return record == nullptr ? -1 : Front().DeleteSection(Unpack(record));
}
NOINLINE uint8_t AppendSection(const FrontEndSettings* record) {
  return record != nullptr && Front().AppendSection(Unpack(record)) ? 1 : 0;
}
NOINLINE int32_t ReplaceSection(const FrontEndSettings* record) {
  return record == nullptr ? -1 : Front().ReplaceSection(Unpack(record));
}

NOINLINE uint8_t AutoDial(const char* entry_name, uint32_t* result) {
  if (result != nullptr) *result = 0;
  std::string library = OwnLibraryPath();
  size_t slash = library.rfind('/');
  if (slash == std::string::npos) return 1;
  PosixEnv env;
  PhonebookRemoteAccess ras(env, PhonebookPath(), ConnectionDirectory());
  AutoDialOptions options;
  options.state_dir = ProgramDirectory();
  options.front_end = FrontEndFor(env, library.substr(0, slash));
  (void)RunAutoDialHandler(env, ras, options, entry_name == nullptr ? "" : entry_name);
  return 1;
}

NOINLINE void Status(FrontEndStatus* record) {
  if (record == nullptr) return;
  FrontStatus s = Front().Status();
  std::memset(record, 0, sizeof *record);
  ToText(s.entry_name, record->entry_name);
  ToText(s.status_text, record->status_text);
  ToText(s.local_address_text, record->local_address_text);
}

NOINLINE void SetMessageRoutine(NetroveMessageRoutine routine) {
  if (routine == nullptr) {
    Front().SetRoutine(nullptr);
    return;
  }
  Front().SetRoutine(
      [routine](const std::string& message) { return CallRoutine(routine, message); });
}

NOINLINE void Start(const unsigned char* connection, const unsigned char* argument,
                    uint8_t start_asleep) {
  Front().Start(FromText(connection), FromText(argument), start_asleep != 0);
}

// The program's own message routine, as a front-end receives it.
void OwnRoutine(const unsigned char* text, unsigned char* result) {
  std::string line = Front().OwnRoutine(FromText(text));
  if (result != nullptr) ToText(line, result);
}

NOINLINE void GetMessageRoutine(NetroveMessageRoutine* where) {
  if (where != nullptr) *where = &OwnRoutine;
}

NOINLINE void SetRequest(uint16_t request) {
  if (request <= kRequestTestLink) Front().SetRequest(static_cast<uint8_t>(request));
}
NOINLINE uint8_t GetRequest() { return Front().Request(); }
NOINLINE uint8_t WaitRequest() {
  Lib().env.Sleep(500, std::stop_token());
  return Front().Request();
}
NOINLINE uint8_t Stopped() { return Front().Stopped() ? 1 : 0; }

NOINLINE void Statistics(FrontEndStatistics* record) {
  if (record != nullptr) *record = Front().Statistics();
}

NOINLINE void TimeText(uint32_t seconds, unsigned char* text) {
  if (text != nullptr) ToText(FormatDuration(seconds), text);
}

NOINLINE void FillSettings(FrontEndSettings* record) {
  if (record != nullptr) PackSettings(Front().CurrentSettings(), Front().chains(), record);
}

NOINLINE void SetProgramPath(const unsigned char* program_path) {
  std::string path = FromText(program_path);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  // The program directory follows the front-end's (netrove.dat, lists, logs).
  if (chdir(dir.c_str()) == 0) (void)setenv("NETROVE_HOME", dir.c_str(), 1);
}

NOINLINE void Resume() { Front().ResumeAll(); }
NOINLINE void Suspend() { Front().SuspendAll(); }
NOINLINE void HangUp() { Front().HangUp(); }
NOINLINE void Terminate() { (void)Front().Terminate(15000); }

NOINLINE void Version(unsigned char* text) {
  if (text != nullptr) ToText("01.01.16", text);
}

NOINLINE void LogText(const unsigned char* text) { Front().LogText(FromText(text)); }

NOINLINE const TextChain* ChainNode(uint32_t handle) { return Front().chains().Node(handle); }
NOINLINE void ChainFree(TextChain* head) { Front().chains().Free(head); }

}  // namespace
}  // namespace netrove

using namespace netrove;

// Visible, under the ordinal's name.
#define EXPORTED __attribute__((visibility("default")))
#define NAMED(symbol) __asm__("\"" symbol "\"")

extern "C" {

EXPORTED void NetroveMain(const unsigned char*, const unsigned char*, uint16_t, uint8_t)
    NAMED("0x01");
EXPORTED int32_t NetroveCountSections() NAMED("0x02");
EXPORTED int32_t NetroveSectionNames(TextChain*) NAMED("0x03");
EXPORTED uint8_t NetroveLoadSettings(const unsigned char*, FrontEndSettings*) NAMED("0x04");
EXPORTED int32_t NetroveWriteGlobal(const FrontEndSettings*) NAMED("0x05");
EXPORTED int32_t NetroveWarnings(TextChain*) NAMED("0x06");
EXPORTED int32_t NetroveCountWarnings() NAMED("0x07");
EXPORTED int32_t NetroveEntryNames(TextChain*) NAMED("0x08");
EXPORTED uint8_t NetroveEntryDefaults(FrontEndSettings*, const unsigned char*) NAMED("0x09");
EXPORTED int32_t NetroveDeleteSection(const FrontEndSettings*) NAMED("0x10");
EXPORTED uint8_t NetroveAppendSection(const FrontEndSettings*) NAMED("0x11");
EXPORTED int32_t NetroveReplaceSection(const FrontEndSettings*) NAMED("0x12");
EXPORTED uint8_t NetroveAutoDial(void*, const char*, uint32_t, uint32_t*) NAMED("AutoDial");
EXPORTED void NetroveStatus(FrontEndStatus*) NAMED("0x14");
EXPORTED void NetroveSetMessageRoutine(NetroveMessageRoutine) NAMED("0x15");
EXPORTED void NetroveStart(const unsigned char*, const unsigned char*, uint8_t) NAMED("0x16");
EXPORTED void NetroveGetMessageRoutine(NetroveMessageRoutine*) NAMED("0x17");
EXPORTED void NetroveSetRequest(uint16_t) NAMED("0x18");
EXPORTED uint8_t NetroveGetRequest() NAMED("0x19");
EXPORTED uint8_t NetroveWaitRequest() NAMED("0x20");
EXPORTED uint8_t NetroveStopped() NAMED("0x21");
EXPORTED void NetroveStatistics(FrontEndStatistics*) NAMED("0x22");
EXPORTED void NetroveTimeText(uint32_t, unsigned char*) NAMED("0x23");
EXPORTED void NetroveFillSettings(FrontEndSettings*) NAMED("0x24");
EXPORTED void NetroveSetProgramPath(const unsigned char*) NAMED("0x25");
EXPORTED void NetroveResume() NAMED("0x26");
EXPORTED void NetroveSuspend() NAMED("0x27");
EXPORTED void NetroveHangUp() NAMED("0x28");
EXPORTED void NetroveTerminate() NAMED("0x29");
EXPORTED void NetroveTerminateToo() NAMED("0x30");
EXPORTED void NetroveVersion(unsigned char*) NAMED("0x31");
EXPORTED uint8_t NetroveRestartRequested() NAMED("0x32");
EXPORTED void NetroveLogText(const unsigned char*) NAMED("0x33");
EXPORTED void NetroveNothing() NAMED("WEX");
EXPORTED void NetroveSuspendAll() NAMED("0x35");
EXPORTED void NetroveResumeAll() NAMED("0x36");
EXPORTED uint8_t NetroveUpdated() NAMED("0x37");
EXPORTED const TextChain* NetroveChainNode(uint32_t) NAMED("NetroveChainNode");
EXPORTED void NetroveChainFree(TextChain*) NAMED("NetroveChainFree");

void NetroveMain(const unsigned char* connection, const unsigned char* argument,
                 uint16_t interface_number, uint8_t start_asleep) {
  CallMain(connection, argument, interface_number, start_asleep);
}
int32_t NetroveCountSections() { return CountSections(); }
int32_t NetroveSectionNames(TextChain* chain) { return SectionNames(chain); }
uint8_t NetroveLoadSettings(const unsigned char* name, FrontEndSettings* record) {
  return LoadSettings(name, record);
}
int32_t NetroveWriteGlobal(const FrontEndSettings* record) { return WriteGlobal(record); }
int32_t NetroveWarnings(TextChain* chain) { return Warnings(chain); }
int32_t NetroveCountWarnings() { return CountWarnings(); }
int32_t NetroveEntryNames(TextChain* chain) { return EntryNames(chain); }
uint8_t NetroveEntryDefaults(FrontEndSettings* record, const unsigned char* entry) {
  return FetchEntryDefaults(record, entry);
}
int32_t NetroveDeleteSection(const FrontEndSettings* record) { return DeleteSection(record); }
uint8_t NetroveAppendSection(const FrontEndSettings* record) { return AppendSection(record); }
int32_t NetroveReplaceSection(const FrontEndSettings* record) { return ReplaceSection(record); }
uint8_t NetroveAutoDial(void*, const char* entry_name, uint32_t, uint32_t* result) {
  return AutoDial(entry_name, result);
}
void NetroveStatus(FrontEndStatus* record) { Status(record); }
void NetroveSetMessageRoutine(NetroveMessageRoutine routine) { SetMessageRoutine(routine); }
void NetroveStart(const unsigned char* connection, const unsigned char* argument,
                  uint8_t start_asleep) {
  Start(connection, argument, start_asleep);
}
void NetroveGetMessageRoutine(NetroveMessageRoutine* where) { GetMessageRoutine(where); }
void NetroveSetRequest(uint16_t request) { SetRequest(request); }
uint8_t NetroveGetRequest() { return GetRequest(); }
uint8_t NetroveWaitRequest() { return WaitRequest(); }
uint8_t NetroveStopped() { return Stopped(); }
void NetroveStatistics(FrontEndStatistics* record) { Statistics(record); }
void NetroveTimeText(uint32_t seconds, unsigned char* text) { TimeText(seconds, text); }
void NetroveFillSettings(FrontEndSettings* record) { FillSettings(record); }
void NetroveSetProgramPath(const unsigned char* path) { SetProgramPath(path); }
void NetroveResume() { Resume(); }
void NetroveSuspend() { Suspend(); }
void NetroveHangUp() { HangUp(); }
void NetroveTerminate() { Terminate(); }
void NetroveTerminateToo() { Terminate(); }
void NetroveVersion(unsigned char* text) { Version(text); }
uint8_t NetroveRestartRequested() { return restart_requested.load() ? 1 : 0; }
void NetroveLogText(const unsigned char* text) { LogText(text); }
void NetroveNothing() {}
void NetroveSuspendAll() { Suspend(); }
void NetroveResumeAll() { Resume(); }
// Updates are downloaded, never installed by the program (see the header).
uint8_t NetroveUpdated() { return 0; }
const TextChain* NetroveChainNode(uint32_t handle) { return ChainNode(handle); }
void NetroveChainFree(TextChain* head) { ChainFree(head); }

}  // extern "C"
