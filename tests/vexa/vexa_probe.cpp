// Runs a vexa::Client on a file-system socket path and prints each
// notification as "<status> <text>", followed by " (stopped)" once the client
// says that it has stopped, until COUNT notifications have come or the client
// has nothing left to do. Lets tests run a client as another user.
// Usage: vexa_probe PATH COUNT
#include <vexa/client.hpp>

#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

class Printer : public vexa::StatusNotifier {
 public:
  Printer(boost::asio::io_context& io, int count) : io(io), left(count) {}

  void Notify(const vexa::StatusMessage& message) override {
    std::cout << static_cast<unsigned>(message.status) << ' ' << message.text
              << (client != nullptr && client->Stopped() ? " (stopped)" : "") << std::endl;
    if (--left == 0) {
      io.stop();
    }
  }

  const vexa::Client* client = nullptr;

 private:
  boost::asio::io_context& io;
  int left;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: vexa_probe PATH COUNT" << std::endl;
    return 2;
  }
  boost::asio::io_context io;
  Printer printer(io, std::atoi(argv[2]));
  vexa::Client client(io, argv[1], printer);
  printer.client = &client;
  io.run();
  return 0;
}
