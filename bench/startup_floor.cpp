// The least that a program of this toolkit starts with: a C++ program linked
// to liborv, which brings the C++ runtime's shared library along. Its start-up
// against the same peer shows what no change inside the programs can win.
#include <orv/orv.hpp>

int main() {
  return orv::GetTaiOffset().count() < 0 ? 1 : 0;
}
