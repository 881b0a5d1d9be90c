// The status event both benchmarks feed to the library: type 0x04, status 2
// and `textSize` bytes of text.
#pragma once

#include <cstddef>
#include <vector>

namespace bench {

using Packet = std::vector<unsigned char>;

inline Packet StatusEvent(std::size_t textSize) {
  Packet packet(3 + textSize, 'x');
  packet[0] = 0x04;
  packet[1] = 2;
  packet[2] = static_cast<unsigned char>(textSize);
  return packet;
}

}  // namespace bench
