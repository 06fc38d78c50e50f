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

}  // namespace netrove
