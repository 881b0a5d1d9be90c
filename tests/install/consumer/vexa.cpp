// Uses libvexa as an outside program would.
#include <vexa/client.hpp>

#include <boost/asio/io_context.hpp>

#include <iostream>
#include <string>
#include <variant>
#include <vector>

namespace {

class Collector : public vexa::StatusNotifier {
 public:
  void Notify(const vexa::StatusMessage& message) override { texts.push_back(message.text); }
  std::vector<std::string> texts;
};

bool Fail(const char* what) {
  std::cerr << "consumer_vexa: " << what << "\n";
  return false;
}

bool ClientStarts() {
  boost::asio::io_context io;
  Collector collector;
  // Destroyed before the context runs: no step of it is ever run.
  vexa::Client client(io, "/nonexistent/vexad.sock", collector);
  return collector.texts == std::vector<std::string>{"Internal: Disconnected"} ||
         Fail("unexpected first notification");
}

bool ParserWorks() {
  const unsigned char status[] = {0x01, 0x02, 0x02, 'o', 'k'};
  const auto message = std::get<vexa::StatusMessage>(vexa::Parse(status));
  if (message.status != vexa::Status{2} || message.text != "ok") {
    return Fail("status message misparsed");
  }
  const unsigned char request[] = {vexa::STATUS_REQUEST};
  try {
    vexa::Parse(request);
  } catch (const vexa::ProtocolError& error) {
    return std::string(error.what()) == "Illegal or unknown message type" ||
           Fail("unexpected rejection text");
  }
  return Fail("request byte accepted");
}

}  // namespace

int main() {
  if (!ClientStarts() || !ParserWorks()) {
    return 1;
  }
  std::cout << "consumer_vexa: client started, parser works\n";
  return 0;
}
