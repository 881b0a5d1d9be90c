// Comparison and printing of HwTstampOpts for test assertions. They live in
// the record's own (global) namespace so that GoogleTest finds them.
#pragma once

#include <orv/orv.hpp>

#include <ostream>

inline bool operator==(const HwTstampOpts& a, const HwTstampOpts& b) {
  return a.tx_type == b.tx_type && a.rx_filter == b.rx_filter;
}

inline void PrintTo(const HwTstampOpts& opts, std::ostream* out) {
  *out << "{tx_type=" << opts.tx_type << ", rx_filter=" << opts.rx_filter << "}";
}
