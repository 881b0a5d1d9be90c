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
  const auto leap = orv::GetKernelLeapState(error);
  std::cout << "consumer_orv: TAI offset " << offset.count() << ", lo phc " << loopback.phcIndex
            << ", " << orv::ClockStateName(leap.clockState) << "\n";
  return error ? 1 : 0;
}
