// A daemon that anyone may start: listens on the abstract name NUL + NAME with
// the test daemon's usual answers, prints "listening" and serves until it is
// killed. Lets tests run a daemon as another user.
// Usage: vexa_impostor NAME
#include <test_daemon.hpp>

#include <unistd.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: vexa_impostor NAME" << std::endl;
    return 2;
  }
  const vexatest::TestDaemon daemon(std::string(1, '\0') + argv[1]);
  std::cout << "listening" << std::endl;
  for (;;) {
    ::pause();
  }
}
