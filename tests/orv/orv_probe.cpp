// Calls liborv from a separate process, so that a test can run it with other
// credentials or under a system-call filter. Usage: orv_probe set SECONDS | get
#include <orv/orv.hpp>

#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char* argv[]) {
  if (argc == 3 && std::strcmp(argv[1], "set") == 0) {
    const auto error = orv::SetTaiOffset(std::chrono::seconds{std::stoll(argv[2])});
    std::cout << error.value() << ' ' << error.category().name() << ' ' << error.message() << '\n'
              << orv::GetTaiOffset().count() << '\n';
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "get") == 0) {
    std::error_code error;
    const auto offset = orv::GetTaiOffset(error);
    std::cout << orv::GetTaiOffset().count() << '\n'
              << offset.count() << ' ' << error.value() << ' ' << error.category().name() << ' '
              << error.message() << '\n';
    const auto leap = orv::GetKernelLeapState(error);
    std::cout << orv::ClockStateName(leap.clockState) << ' ' << leap.leap << ' '
              << leap.unsynchronised << ' ' << leap.taiOffset.count() << ' ' << error.value() << ' '
              << error.category().name() << ' ' << error.message() << '\n';
    return 0;
  }
  std::cerr << "usage: orv_probe set SECONDS | get\n";
  return 2;
}
