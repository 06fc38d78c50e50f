// SET and CLEAR (the AutoDial registration of every phonebook entry) and
// the program side of an AutoDial start.
#include <unistd.h>

#include "dialer/autodial.h"
#include "driver/forms.h"
#include "runtime/program.h"
#include "runtime/text.h"

namespace netrove {
namespace {

// Writes the fields of every entry, "\rOk." after each.
void RegisterEntries(ProgramContext& p, const std::string& library, const std::string& function) {
  std::vector<std::string> entries;
  if (p.ras.EnumEntries(entries) != 0)
    p.Fatal("can't read the phonebook " + p.ras.phonebook_path());
  for (const std::string& entry : entries) {
    int rc = WriteAutoDialFields(p.env, p.ras.phonebook_path(), entry, library, function);
    if (rc == kErrorCannotFindEntry) p.Fatal("Connection not found");
    if (rc != 0) p.Fatal("can't write the phonebook " + p.ras.phonebook_path());
    p.console.Write("\rOk.");
    p.console.Flush();
  }
  p.console.WriteLine("");
}

}  // namespace

void RunSetForm(ProgramContext& p, const std::string& connection) {
  std::string name = BareName(connection);
  p.console.WriteLine("Check connection: " + name);
  p.console.WriteLine("Set AutoDial function for connection " + name);
  std::string library = OwnLibraryPath();
  if (library.empty() || !FileExists(p.env, library)) p.Fatal("can't find libnetrove.so");
  if (!WriteFileAtomically(p.env, InProgramDirectory(kAutoDialNameFile), name + "\n", 0644)) {
    p.Fatal("can't write " + InProgramDirectory(kAutoDialNameFile));
  }
  RegisterEntries(p, library, kAutoDialFunction);
  HaltProgram(0);
}

void RunClearForm(ProgramContext& p, const std::string& connection) {
  std::string name = BareName(connection);
  (void)p.env.RemoveFile(InProgramDirectory(kAutoDialNameFile));
  p.console.WriteLine("Check connection: " + name);
  p.console.WriteLine("Clear AutoDial function for connection " + name);
  RegisterEntries(p, "", "");
  HaltProgram(0);
}

AutoDialMode::~AutoDialMode() {
  if (exit_proc_ != 0) RemoveExitProc(exit_proc_);
  if (!marker_.empty()) (void)env_.RemoveFile(marker_);
}

void AutoDialMode::Prepare(const std::string& name) {
  (void)env_.RemoveFile(InProgramDirectory(kAutoDialNameFile));
  if (active() || name.empty() || name.find('/') != std::string::npos) return;
  std::string marker = BusyMarkerPath(ProgramDirectory(), name);
  if (!FileExists(env_, marker)) return;
  marker_ = marker;
  // This process owns the start now: the marker names it, so that its
  // death without the exit procedure leaves a stale marker.
  (void)WriteBusyMarker(env_, marker_, getpid());
  exit_proc_ = AddExitProc([this] { (void)env_.RemoveFile(marker_); });
}

}  // namespace netrove
