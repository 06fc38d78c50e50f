#include "dialer/remote_access.h"

namespace netrove {

void DialRecord::CutToFields() {
  entry_name = entry_name.substr(0, 256);
  phone_number = phone_number.substr(0, 128);
  callback_number = callback_number.substr(0, 128);
  user_name = user_name.substr(0, 256);
  password = password.substr(0, 256);
  domain = domain.substr(0, 15);
}

int SubstituteRemoteAccess::EnumConnections(std::vector<ConnectionInfo>& out) {
  out.clear();
  return 0;
}
int SubstituteRemoteAccess::EnumEntries(std::vector<std::string>& out) {
  out.clear();
  return 0;
}
int SubstituteRemoteAccess::GetConnectStatus(uint32_t, ConnectStatus&) { return -1; }
std::string SubstituteRemoteAccess::ErrorText(int) {
  return "Remote access is not available on this machine.";
}
int SubstituteRemoteAccess::HangUp(uint32_t) { return -1; }
int SubstituteRemoteAccess::GetEntryDialParams(const std::string&, DialRecord&,
                                               bool& password_stored) {
  password_stored = false;
  return -1;
}
int SubstituteRemoteAccess::GetEntryProperties(const std::string&, EntryProperties& props) {
  props = EntryProperties{};
  return -1;
}
int SubstituteRemoteAccess::SetEntryProperties(const std::string&, const EntryProperties&) {
  return -1;
}
int SubstituteRemoteAccess::CreateEntry(const NewEntry&) { return -1; }
int SubstituteRemoteAccess::Dial(const DialRecord&, std::atomic<uint32_t>&) { return -1; }

}  // namespace netrove
