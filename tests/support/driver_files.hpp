// The files through which a test sets up the fake timestamping driver and
// reads what it was asked.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace hwtstamptest {

class DriverFiles {
 public:
  DriverFiles() {
    char pattern[] = "/tmp/orvkit-fakedriver-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    dir = pattern;
    // Programs under test may run as nobody, and the driver in them reads here.
    std::filesystem::permissions(
        dir, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
        std::filesystem::perm_options::add);
    SetState(0, 0, 0);
  }
  DriverFiles(const DriverFiles&) = delete;
  DriverFiles& operator=(const DriverFiles&) = delete;
  ~DriverFiles() { std::filesystem::remove_all(dir); }

  std::string StatePath() const { return dir / "state"; }
  std::string LogPath() const { return dir / "log"; }

  void SetState(int flags, int txType, int rxFilter) const {
    std::ofstream(StatePath()) << flags << ' ' << txType << ' ' << rxFilter << '\n';
  }

  // "flags tx_type rx_filter" in force.
  std::string State() const {
    std::string text;
    std::getline(std::ifstream(StatePath()), text);
    return text;
  }

  // One line per request that reached the driver.
  std::vector<std::string> Requests() const {
    std::vector<std::string> lines;
    std::ifstream log(LogPath());
    for (std::string line; std::getline(log, line);) {
      lines.push_back(line);
    }
    return lines;
  }

 private:
  std::filesystem::path dir;
};

}  // namespace hwtstamptest
