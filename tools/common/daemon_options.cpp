#include "daemon_options.hpp"

#include <pwd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>

namespace po = boost::program_options;

namespace tools {

void validate(boost::any& result, const std::vector<std::string>& values, UserId*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  std::uint32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (!text.empty() && error == std::errc{} && end == text.data() + text.size() &&
      id != static_cast<std::uint32_t>(-1)) {
    result = UserId{id};
    return;
  }
  // Not an id: a user name, looked up as chown does.
  const passwd* user = text.empty() ? nullptr : ::getpwnam(text.c_str());
  if (user == nullptr) {
    throw po::invalid_option_value(text);
  }
  result = UserId{user->pw_uid};
}

std::string DaemonAddress(std::string typed) {
  if (!typed.empty() && typed.front() == '@') {
    typed.front() = '\0';
  }
  return typed;
}

void validate(boost::any& result, const std::vector<std::string>& values, DaemonSocket*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  if (text.empty() || text == "@") {
    throw po::invalid_option_value(text);
  }
  result = DaemonSocket{DaemonAddress(text)};
}

}  // namespace tools
