// Command-line pieces shared by the programs that talk to the monitor daemon.
#pragma once

#include <boost/program_options.hpp>

#include <sys/types.h>

#include <string>
#include <vector>

namespace tools {

// A user id as typed: decimal digits only, so that "-1" is rejected rather
// than wrapped round to the largest id; anything else is a user name.
struct UserId {
  uid_t value;
};

void validate(boost::any& result, const std::vector<std::string>& values, UserId*, int);

// The daemon's address as typed: "@name" stands for the abstract name NUL +
// "name".
std::string DaemonAddress(std::string typed);

// A daemon address option: a file-system path or "@name", as DaemonAddress
// reads it. "" and "@" name no socket and are refused with the command line.
struct DaemonSocket {
  std::string address;  // a leading NUL names an abstract socket
};

void validate(boost::any& result, const std::vector<std::string>& values, DaemonSocket*, int);

}  // namespace tools
