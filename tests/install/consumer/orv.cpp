// Uses liborv as an outside program would.
#include <orv/orv.hpp>

#include <iostream>

int main() {
  const auto offset = orv::GetTaiOffset();
  if (GetSocketOptValue("SO_TIMESTAMPING") != 37) {
    std::cerr << "consumer_orv: unexpected SO_TIMESTAMPING value\n";
    return 1;
  }
  std::error_code error;
  const auto loopback = orv::GetTimestampingCapabilities("lo", error);
  std::cout << "consumer_orv: TAI offset " << offset.count() << ", lo phc " << loopback.phcIndex
            << "\n";
  return 0;
}
