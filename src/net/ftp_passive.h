// What the proxy's ftp:// requests and the FTP gate share of FTP: its
// port, and the server's answer to PASV, "227 Entering Passive Mode
// (h1,h2,h3,h4,p1,p2)": where the data connection is to go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace netrove {

inline constexpr uint16_t kFtpDefaultPort = 21;

struct PassiveTarget {
  std::string address;  // dotted, as "10.0.0.5"
  uint16_t port = 0;
};

// The six numbers between the first "(" and the ")" after it, separated by
// ",": four address bytes, then the port as high and low byte. Null unless
// the reply begins with "227", every number is 0..255 and there are six.
std::optional<PassiveTarget> ParsePassiveReply(std::string_view reply);

}  // namespace netrove
