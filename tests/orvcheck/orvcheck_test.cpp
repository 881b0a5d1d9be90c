// orvcheck as a monitoring system runs it: as nobody, against the real kernel,
// the fake timestamping driver and PHC, the test daemon, promtool,
// prometheus_client's OpenMetrics parser, node_exporter and linuxptp's
// phc_ctl.
#include <calendar.hpp>
#include <driver_files.hpp>
#include <leap_list.hpp>
#include <orv/orv.hpp>
#include <process.hpp>
#include <ptp4l_pair.hpp>
#include <tai_offset_guard.hpp>
#include <test_daemon.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;
using testsupport::ProcessOptions;

const std::map<std::string, int> EXIT_STATUS = {
    {"OK", 0}, {"WARNING", 1}, {"CRITICAL", 2}, {"UNKNOWN", 3}};

// A leap-second list in the shipped form, expiring at `expires`, whose "#h"
// line is right or, with `hash` false, wrong in its last word.
std::string LeapList(sys_seconds expires, bool hash = true) {
  return testsupport::LeapListText({.updated = floor<days>(system_clock::now()) - days{30},
                                    .expires = expires,
                                    .rightHash = hash});
}

const sys_seconds IN_A_YEAR = floor<seconds>(system_clock::now()) + days{365};

struct Outcome {
  int status;
  nlohmann::json report;
};

// Every run reads the kernel's offset: the fixture holds it at the calendar
// value, with a list valid for a year, so that each case shows only its own
// finding.
class Orvcheck : public testing::Test {
 protected:
  Orvcheck() {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);
    WriteList(LeapList(IN_A_YEAR));
    orv::SetTaiOffset(37s);
  }
  ~Orvcheck() override { fs::remove_all(dir); }

  void WriteList(const std::string& content) { std::ofstream(list) << content; }

  testsupport::ProcessResult Run(std::vector<std::string> arguments,
                                 ProcessOptions options = testsupport::AsNobody()) {
    arguments.insert(arguments.begin(), {ORVCHECK_PATH, "--leap-seconds-list", list});
    return testsupport::Run(arguments, options);
  }

  Outcome Json(std::vector<std::string> arguments,
               ProcessOptions options = testsupport::AsNobody()) {
    arguments.insert(arguments.end(), {"--format", "json"});
    const auto result = Run(arguments, options);
    return {result.status, nlohmann::json::parse(result.out)};
  }

  // The one check named `name`, with `interface` for an interface check.
  static nlohmann::json Check(const Outcome& outcome, const std::string& name,
                              const std::string& interface = "") {
    for (const auto& check : outcome.report["checks"]) {
      if (check["check"] == name && check.value("interface", "") == interface) {
        return check;
      }
    }
    ADD_FAILURE() << "no check " << name << " " << interface << " in " << outcome.report;
    return {};
  }

  ProcessOptions WithFakeDriver(std::vector<std::string> settings) const {
    auto options = testsupport::AsNobody();
    // The first of two entries of a name wins: the settings come first.
    options.environment = std::move(settings);
    // fake0 reports /dev/ptp0, which the driver answers for.
    options.environment.insert(options.environment.end(),
                               {"LD_PRELOAD=" FAKE_DRIVER_PRELOAD, "ORVTEST_HWTSTAMP_IF=fake0",
                                "ORVTEST_HWTSTAMP_STATE=" + driver.StatePath(), "ORVTEST_PHC=0"});
    return options;
  }

  testsupport::TaiOffsetGuard guard;
  const fs::path dir = testing::TempDir() + "orvcheck-" + std::to_string(::getpid());
  const std::string list = dir / "leap-seconds.list";
  hwtstamptest::DriverFiles driver;
};

TEST_F(Orvcheck, TaiOffsetAgainstTheKernel) {
  for (const auto& [offset, state, status] :
       {std::tuple{0, "CRITICAL", 2}, {37, "OK", 0}, {36, "WARNING", 1}}) {
    ASSERT_FALSE(orv::SetTaiOffset(seconds{offset}));
    const auto outcome = Json({});
    const auto check = Check(outcome, "tai-offset");
    EXPECT_EQ(check["state"], state) << offset;
    EXPECT_EQ(check["values"]["kernel_seconds"], offset);
    EXPECT_EQ(check["values"]["calendar_seconds"], 37);
    EXPECT_EQ(outcome.status, status) << outcome.report;
    EXPECT_EQ(outcome.report["state"], state);
  }
}

// Under a system-call filter that denies adjtimex the kernel's offset is
// unknown, not unset: no value and no metric may claim 0.
TEST_F(Orvcheck, UnreadableTaiOffsetIsUnknown) {
  ASSERT_FALSE(orv::SetTaiOffset(36s));
  const auto run = [this](const std::string& format) {
    return testsupport::Run(testsupport::WithAdjtimexDenied(
        {ORVCHECK_PATH, "--leap-seconds-list", list, "--format", format}));
  };
  const auto json = run("json");
  const auto check = Check({json.status, nlohmann::json::parse(json.out)}, "tai-offset");
  EXPECT_EQ(check["state"], "UNKNOWN");
  EXPECT_EQ(check["message"], "kernel offset unreadable (error code: 1): " +
                                  std::string(std::strerror(EPERM)) + "; calendar 37 s");
  EXPECT_EQ(check["values"]["kernel_seconds"], nullptr);
  EXPECT_EQ(json.status, 3);
  const auto metrics = run("openmetrics").out;
  EXPECT_EQ(metrics.find("orvkit_tai_offset_seconds"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("\norvkit_tai_offset_calendar_seconds 37\n"), std::string::npos);
}

TEST_F(Orvcheck, LeapListStates) {
  struct Case {
    std::string content;
    const char* state;
    const char* finding;
  };
  const auto now = floor<seconds>(system_clock::now());
  for (const auto& c :
       std::vector<Case>{{LeapList(IN_A_YEAR), "OK", " valid until "},
                         {LeapList(now + days{10}), "WARNING", " expires on "},
                         {LeapList(now - days{1}), "WARNING", " expired on "},
                         // Refused, as leapset refuses it: 27 leap seconds, not 28.
                         {LeapList(IN_A_YEAR) + "3960316800 38\n", "WARNING",
                          ": line 31: hash does not match the list's data; built-in list used"},
                         {std::regex_replace(LeapList(IN_A_YEAR), std::regex("#h.*\n"), ""),
                          "WARNING", "hash missing"},
                         {"2272060800 10\n2287785600 12\n", "WARNING",
                          ": line 2: TAI - UTC steps by other than 1 s; built-in list used"}}) {
    WriteList(c.content);
    const auto outcome = Json({});
    EXPECT_EQ(Check(outcome, "tai-offset")["values"]["calendar_seconds"], 37);
    const auto check = Check(outcome, "leap-list");
    EXPECT_EQ(check["state"], c.state) << c.content;
    EXPECT_NE(check["message"].get<std::string>().find(c.finding), std::string::npos)
        << check["message"];
    EXPECT_EQ(check["values"]["leap_seconds"], 27);
    EXPECT_EQ(check["values"]["last_leap_second"], "2017-01-01");
    // The values come in one order whatever the state.
    const auto ordered = nlohmann::ordered_json::parse(Run({"--format", "json"}).out);
    std::vector<std::string> keys;
    for (const auto& [key, value] : ordered["checks"][1]["values"].items()) {
      keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"path", "expires", "leap_seconds", "last_leap_second",
                                              "hash", "updated", "source", "refusal"}));
  }
  std::remove(list.c_str());
  const auto missing = Check(Json({}), "leap-list");
  EXPECT_EQ(missing["state"], "WARNING");
  EXPECT_EQ(missing["values"]["source"], "built-in");
  EXPECT_EQ(missing["values"]["refusal"],
            "cannot be opened: " + std::string(std::strerror(ENOENT)));
  // The hash that tzdata ships is checked the same way.
  fs::copy_file(calendar::LEAP_SECONDS_LIST, list);
  const auto tzdata = Check(Json({}), "leap-list");
  EXPECT_EQ(tzdata["values"]["hash"], "valid");
  EXPECT_EQ(tzdata["values"]["refusal"], nullptr);
}

// At an instant set through libfaketime, with a list that announces a leap
// second after the built-in list's last: the expiry is judged at that instant.
TEST_F(Orvcheck, LeapListAtAChosenInstant) {
  WriteList(testsupport::LeapListText({.updated = sys_days{2026y / 11 / 1},
                                       .expires = sys_days{2027y / 6 / 28},
                                       .later = {{sys_days{2027y / 1 / 1}, 1}}}));
  for (const auto& [instant, state, finding] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"2026-12-31 12:00:00", "OK",
            "valid until 2027-06-28 (28 leap seconds, last 2027-01-01, hash valid)"},
           {"2027-06-28 00:00:01", "WARNING", "expired on 2027-06-28"}}) {
    const auto check =
        Check(Json({}, testsupport::AtInstant(testsupport::AsNobody(), instant)), "leap-list");
    EXPECT_EQ(check["state"], state) << instant;
    EXPECT_NE(check["message"].get<std::string>().find(finding), std::string::npos)
        << check["message"];
  }
}

TEST_F(Orvcheck, InterfacesThroughTheFakeDriverAndTheKernel) {
  struct Case {
    std::string interface;
    std::string state;  // in the fake driver: "flags tx_type rx_filter"
    std::vector<std::string> settings;
    const char* expected;
    const char* finding;
  };
  for (const auto& c : std::vector<Case>{
           {"fake0",
            "0 1 12",
            {},
            "OK",
            "hardware timestamping on: tx on(1), rx ptpv2-event(12); flags hardware-transmit(1) "
            "software-transmit(2) hardware-receive(4) software-receive(8) "
            "software-system-clock(16) hardware-raw-clock(64); phc /dev/ptp0; tx types off(0) "
            "on(1); rx filters none(0) all(1) ptpv2-event(12)"},
           {"fake0", "0 0 0", {}, "WARNING", "hardware timestamping off: tx off(0), rx none(0)"},
           {"fake0", "0 1 1", {"ORVTEST_TS_INFO=26 -1 0 0"}, "CRITICAL", "no hardware"},
           {"fake0",
            "0 1 1",
            {"ORVTEST_HWTSTAMP_READ_ERRNO=95"},
            "UNKNOWN",
            "configuration unreadable: Operation not supported"},
           {"orvnosuch0", "", {}, "CRITICAL", "no such interface"},
           {"", "", {}, "CRITICAL", "no such interface"},
           // Cut to the 15 bytes the kernel reads, it would name another interface.
           {"orvfakeclock015x",
            "0 1 12",
            {"ORVTEST_HWTSTAMP_IF=orvfakeclock015"},
            "CRITICAL",
            "name is too long"},
           {"lo",
            "",
            {},
            "CRITICAL",
            "no hardware timestamping; flags software-transmit(2) software-receive(8) "
            "software-system-clock(16); phc none; tx types none; rx filters none"}}) {
    std::istringstream state(c.state);
    int flags = 0, tx = 0, rx = 0;
    state >> flags >> tx >> rx;
    driver.SetState(flags, tx, rx);
    const auto outcome = Json({"--interface", c.interface}, WithFakeDriver(c.settings));
    const auto check = Check(outcome, "interface", c.interface);
    EXPECT_EQ(check["state"], c.expected) << c.state;
    EXPECT_EQ(outcome.status, EXIT_STATUS.at(c.expected));
    EXPECT_NE(check["message"].get<std::string>().find(c.finding), std::string::npos)
        << check["message"];
  }
  // A known fault outranks a check that cannot tell.
  EXPECT_EQ(Json({"--interface", "fake0", "--interface", "lo"},
                 WithFakeDriver({"ORVTEST_HWTSTAMP_READ_ERRNO=95"}))
                .status,
            2);
  driver.SetState(0, 1, 12);
  const auto on = Check(Json({"--interface", "fake0"}, WithFakeDriver({})), "interface", "fake0");
  EXPECT_EQ(on["values"]["capabilities"]["phc"], "/dev/ptp0");
  EXPECT_EQ(on["values"]["configuration"]["rx_filter"],
            nlohmann::json({{"name", "ptpv2-event"}, {"value", 12}}));
  EXPECT_EQ(on["values"]["capabilities"]["tx_types"][1],
            nlohmann::json({{"name", "on"}, {"value", 1}}));
}

// The words of `text`, each after `prefix`.
std::vector<std::string> Words(const std::string& text, char separator = ' ',
                               const std::string& prefix = "") {
  std::vector<std::string> words;
  std::istringstream stream(text);
  for (std::string word; std::getline(stream, word, separator);) {
    words.push_back(prefix + word);
  }
  return words;
}

// "A=1;B=2": ORVTEST_A=1, ORVTEST_B=2.
std::vector<std::string> Settings(const std::string& text) {
  return Words(text, ';', "ORVTEST_");
}

// The fake PHC follows CLOCK_TAI (the kernel's offset applied) unless
// PHC_CLOCK=realtime; each message is given up to its method.
TEST_F(Orvcheck, PhcAgainstClockTai) {
  driver.SetState(0, 1, 12);
  const std::string offset = "/dev/ptp0 - CLOCK_TAI = ";
  for (const auto& [settings, kernelOffset, state, message] :
       std::vector<std::tuple<std::string, int, std::string, std::string>>{
           {"PHC_OFFSET_NS=1000", 37, "OK",
            offset + "+0.000001000 s: within 0.000001 s (method precise,"},
           {"PHC_OFFSET_NS=1001", 37, "WARNING", offset + "+0.000001001 s: beyond 0.000001 s"},
           // Half the narrowest read delay, 1100 ns, still within 1 us.
           {"PHC_METHODS=extended basic;PHC_OFFSET_NS=-400;PHC_WINDOWS_NS=1500,1200,1100", 37, "OK",
            offset + "-0.000000400 s +/- 0.000000550 s: within 0.000001 s (method extended, "
                     "narrowest of 9 samples, read delay 0.000001100 s)"},
           {"PHC_METHODS=basic;PHC_OFFSET_NS=400;PHC_WINDOWS_NS=1400", 37, "WARNING",
            offset +
                "+0.000000400 s +/- 0.000000700 s: not provably within 0.000001 s (method basic"},
           {"PHC_OFFSET_NS=-1000000", 37, "WARNING", offset + "-0.001000000 s: beyond 0.000001 s"},
           {"PHC_OFFSET_NS=-1000001", 37, "CRITICAL", offset + "-0.001000001 s: beyond 0.001 s"},
           // A PHC on TAI, the kernel's offset unset: CLOCK_TAI reads as UTC.
           {"PHC_CLOCK=realtime;PHC_OFFSET_NS=37000000000", 0, "CRITICAL",
            "PHC is 37 s ahead of CLOCK_TAI: the kernel's TAI offset is unset; " + offset +
                "+37.000000000 s: beyond 0.001 s"},
           {"PHC_CLOCK=realtime", 37, "CRITICAL",
            "PHC is 37 s behind CLOCK_TAI: the PHC runs UTC; " + offset + "-37.000000000 s"},
           // The offset applied twice; 1 ms from whole seconds still counts, not more.
           {"PHC_OFFSET_NS=37001000000", 37, "CRITICAL",
            "PHC is 37 s ahead of CLOCK_TAI (the kernel's TAI offset is 37 s, the calendar's 37 "
            "s); " +
                offset + "+37.001000000 s"},
           {"PHC_OFFSET_NS=-1001100000", 37, "CRITICAL", offset + "-1.001100000 s: beyond 0.001 s"},
           {"PHC_OPEN_ERRNO=13", 37, "UNKNOWN",
            "cannot read /dev/ptp0: Permission denied: an unprivileged user lacks access to "
            "/dev/ptp0 (see orvcheck(1))"},
           {"TS_INFO=95 4095 3 4099", 37, "UNKNOWN",
            "cannot read /dev/ptp4095: No such file or directory"},
           {"ADJTIMEX_ERRNO=1;PHC_OFFSET_NS=180", 37, "UNKNOWN",
            "kernel offset unreadable (error code: 1): Operation not permitted, so PHC - CLOCK_TAI "
            "is unknown; /dev/ptp0 - CLOCK_REALTIME = +37.000000180 s (method precise"}}) {
    ASSERT_FALSE(orv::SetTaiOffset(seconds{kernelOffset}));
    const auto outcome =
        Json({"--interface", "fake0", "--skip", "tai-offset"}, WithFakeDriver(Settings(settings)));
    const auto check = Check(outcome, "phc", "fake0");
    EXPECT_EQ(check["state"], state) << settings;
    EXPECT_EQ(check["message"].get<std::string>().substr(0, message.size()), message);
    EXPECT_EQ(outcome.status, EXIT_STATUS.at(state));
  }
  ASSERT_FALSE(orv::SetTaiOffset(37s));
  EXPECT_EQ(
      Check(Json({"--interface", "fake0", "--phc-warning", "5e-5", "--phc-critical", "0.00007"},
                 WithFakeDriver({"ORVTEST_PHC_OFFSET_NS=60000"})),
            "phc", "fake0")["message"],
      offset + "+0.000060000 s: beyond 0.00005 s (method precise, read delay 0.000000000 s)");

  // One healthy read in JSON and in metrics that promtool takes.
  const auto healthy =
      WithFakeDriver(Settings("PHC_METHODS=extended basic;PHC_OFFSET_NS=-400;PHC_WINDOWS_NS=1100"));
  EXPECT_EQ(Check(Json({"--interface", "fake0"}, healthy), "phc", "fake0")["values"],
            nlohmann::json::parse(R"({"warning_seconds": 1e-6, "critical_seconds": 0.001,
              "phc": "/dev/ptp0", "offset_seconds": -4e-7,
              "realtime_offset_seconds": 36.9999996, "method": "extended", "samples": 9,
              "read_delay_seconds": 1.1e-6})"));
  const auto metrics = Run({"--interface", "fake0", "--format", "openmetrics"}, healthy).out;
  for (const auto* sample :
       {"check_state{check=\"phc\",interface=\"fake0\"} 0",
        "phc_offset_seconds{interface=\"fake0\",phc=\"/dev/ptp0\"} -4e-07",
        "phc_info{interface=\"fake0\",phc=\"/dev/ptp0\",method=\"extended\"} 1",
        "phc_read_delay_seconds{interface=\"fake0\",phc=\"/dev/ptp0\"} 1.1e-06"}) {
    EXPECT_NE(metrics.find("\norvkit_" + std::string(sample) + '\n'), std::string::npos) << sample;
  }
  std::ofstream(dir / "phc.prom") << metrics;
  const auto promtool =
      testsupport::Run({"sh", "-c", "promtool check metrics < " + (dir / "phc.prom").string()});
  EXPECT_EQ(promtool.status, 0) << promtool.err << promtool.out;

  // No PHC, or the check left out: no phc check at all.
  for (const auto& [skip, settings] :
       {std::pair{"leap-list", "TS_INFO=95 -1 3 4099"}, {"phc", ""}}) {
    const auto checks =
        Json({"--interface", "fake0", "--skip", skip}, WithFakeDriver(Settings(settings)))
            .report["checks"];
    EXPECT_EQ(checks.back()["check"], "interface") << checks;
  }
}

// A requirement for every interface, and one for fake0, which wins; the
// message begins with the drift.
TEST_F(Orvcheck, ConfigurationDrift) {
  const std::string every = "--require-tx-type on --require-rx-filter ptpv2-event";
  for (const auto& [inForce, arguments, drift, message] :
       std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
           {"1 12", every, "0", ""},
           {"1 1", every, "1",
            "configuration drift: rx all(1) in force, ptpv2-event(12) required; hardware "
            "timestamping on: tx on(1), rx all(1); flags"},
           {"0 0", "--require-tx-type 1", "1",
            "configuration drift: tx off(0) in force, on(1) required; hardware timestamping off:"},
           {"1 1", "--require-rx-filter fake0:all " + every, "0", ""},
           {"1 1", "", "", ""}}) {
    std::ofstream(driver.StatePath()) << "0 " << inForce << '\n';
    auto words = Words("--interface fake0 --skip phc " + arguments);
    const auto check = Check(Json(words, WithFakeDriver({})), "interface", "fake0");
    EXPECT_EQ(check["state"], drift == "1" ? "CRITICAL" : "OK") << arguments;
    EXPECT_EQ(check["message"].get<std::string>().substr(0, message.size()), message);
    words.insert(words.end(), {"--format", "openmetrics"});
    const auto metrics = Run(words, WithFakeDriver({})).out;
    const std::string series = "\norvkit_interface_configuration_drift{interface=\"fake0\"} ";
    const auto sample = metrics.find(series);
    EXPECT_EQ(sample == std::string::npos ? "" : metrics.substr(sample + series.size(), 2),
              drift.empty() ? "" : drift + '\n');
  }
}

// `message` with the time the check waited, to the millisecond, in place of
// WAITED; that time is not shorter than the time-out of 0.3 s.
std::string WithWaited(std::string message, const nlohmann::json& check) {
  const auto at = message.find("WAITED");
  if (at != std::string::npos) {
    EXPECT_GE(check["values"]["waited_seconds"].get<double>(), 0.3);
    message.replace(at, 6, check["values"]["waited_seconds"].dump());
  }
  return message;
}

TEST_F(Orvcheck, MonitorAgainstTheTestDaemon) {
  const std::string name = "orvcheck-" + std::to_string(::getpid());
  vexatest::TestDaemon daemon(std::string(1, '\0') + name);
  struct Case {
    std::optional<vexatest::Packet> reply;
    std::vector<std::string> arguments;
    const char* state;
    std::string message;
    nlohmann::json status;  // null when the daemon did not answer
    bool refused;
  };
  for (const auto& c : std::vector<Case>{
           // Bytes that are not UTF-8 must not break the JSON output; the
           // text is escaped to the same bytes as vexawatch's.
           {vexatest::StatusPacket(0x01, 2,
                                   "A\xff"
                                   "B|C\n"),
            {},
            "OK",
            "status 2 vexad: \"A\\xFFB\\x7CC\\x0A\"",
            2,
            false},
           {vexatest::StatusPacket(0x01, 1, "ok"),
            {"--healthy-status", "0,1"},
            "OK",
            "status 1 vexad: \"ok\"",
            1,
            false},
           {vexatest::StatusPacket(0x01, 2, "clock class 6"),
            {"--healthy-status", "0,1"},
            "CRITICAL",
            "unhealthy status 2 vexad: \"clock class 6\" (healthy: 0 1)",
            2,
            false},
           {std::nullopt,
            {"--timeout", "0.3"},
            "CRITICAL",
            "no status from the daemon at @" + name + " within WAITED s; last: Connected",
            nullptr,
            false},
           // The daemon runs as root; the user is named, not numbered.
           {vexatest::StatusPacket(0x01, 0, "ok"),
            {"--daemon-uid", "nobody"},
            "CRITICAL",
            "refused the daemon at @" + name +
                ": Internal fatal error: untrusted daemon: peer uid 0, expected 65534",
            nullptr,
            true}}) {
    vexatest::Conduct conduct;
    conduct.statusReply = c.reply;
    daemon.SetDefaultConduct(conduct);
    auto arguments = c.arguments;
    arguments.push_back("--monitor=@" + name);
    const auto outcome = Json(arguments);
    const auto check = Check(outcome, "monitor");
    EXPECT_EQ(check["state"], c.state);
    EXPECT_EQ(check["message"], WithWaited(c.message, check));
    EXPECT_EQ(check["values"]["status"], c.status);
    EXPECT_EQ(check["values"]["up"], !c.status.is_null());
    EXPECT_EQ(check["values"]["refused"], c.refused);
    EXPECT_EQ(outcome.status, c.state == std::string("OK") ? 0 : 2);
  }
  // A malformed first answer is a fatal error that the client recovers from:
  // its reply time-out reconnects 2 s later, and the check waits for that.
  vexatest::TestDaemon recovering(std::string(1, '\0') + name + "-recovers");
  vexatest::Conduct malformed;
  malformed.statusReply = vexatest::Packet{0x01, 0x00};
  recovering.SetConduct(1, malformed);
  const auto recovered =
      Check(Json({"--monitor=@" + name + "-recovers", "--timeout", "10"}), "monitor");
  EXPECT_EQ(recovered["message"], "status 0 vexad: \"ok\"");
  EXPECT_EQ(recovering.Connections(), 2);
  const auto absent = Check(Json({"--monitor=/nonexistent/vexad", "--timeout", "0.3"}), "monitor");
  EXPECT_EQ(absent["message"], WithWaited("no status from the daemon at /nonexistent/vexad within "
                                          "WAITED s; last: Internal: Disconnected",
                                          absent));
}

// What a monitoring system shows is the first line: the overall state, which
// checks are not OK, and the performance data. An interface name cannot forge
// a line of its own.
TEST_F(Orvcheck, PluginOutput) {
  driver.SetState(0, 1, 12);
  const auto result = Run({"--interface", "fake0", "--interface", "lo", "--interface", "lo\nOK"},
                          WithFakeDriver({}));
  EXPECT_EQ(result.status, 2);
  std::istringstream lines(result.out);
  std::string first;
  std::getline(lines, first);
  EXPECT_EQ(first,
            "CRITICAL - 2 critical (interface lo, interface lo\\x0AOK), 5 OK | tai_offset=37s "
            "tai_offset_calendar=37s leap_list_leaps=27;;;0 'phc_offset "
            "fake0'=0s;-0.000001:0.000001;-0.001:0.001 'phc_read_delay fake0'=0s;;;0");
  std::vector<std::string> checks;
  std::set<long> messageColumns;
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, std::regex("(\\w+) +(\\S+(?: \\S+)?) +(\\S.*)")));
    EXPECT_EQ(match.position(2), 10) << line;
    messageColumns.insert(match.position(3));
    checks.push_back(match[1].str() + " " + match[2].str());
  }
  // Two blanks after the longest check, "interface lo\x0AOK".
  EXPECT_EQ(messageColumns, std::set<long>{10 + 18 + 2});
  EXPECT_EQ(checks, (std::vector<std::string>{
                        "OK tai-offset", "OK leap-list", "OK timescale", "OK interface fake0",
                        "OK phc fake0", "CRITICAL interface lo", "CRITICAL interface lo\\x0AOK"}));
  // Left out, a check leaves no trace.
  const auto skipped = Run({"--skip", "tai-offset", "--skip", "leap-list", "--skip", "timescale"});
  EXPECT_EQ(skipped.out, "OK - no checks run\n");
  EXPECT_EQ(skipped.status, 0);
  // Quiet: the first line and the checks not OK; nothing when all are OK.
  EXPECT_EQ(Run({"--interface", "lo", "--quiet"}).out,
            std::regex_replace(Run({"--interface", "lo"}).out, std::regex("\nOK [^\n]*"), ""));
  EXPECT_EQ(Run({"--interface", "fake0", "--quiet"}, WithFakeDriver({})).out, "");
}

// node_exporter's user must read the file: the textfile directory holds it
// as root's.
TEST_F(Orvcheck, TextfileIsReplacedWholeOrNotAtAll) {
  const auto textfile = dir / "orvkit.prom";
  const auto written = Run({"--format", "openmetrics", "--textfile", textfile});
  EXPECT_EQ(written.status, 0) << written.err;
  std::stringstream content;
  content << std::ifstream(textfile).rdbuf();
  EXPECT_EQ(content.str(), written.out);
  EXPECT_EQ(fs::status(textfile).permissions(), static_cast<fs::perms>(0644));
  EXPECT_NE(written.out.find("\norvkit_leap_list_expiry_timestamp_seconds " +
                             std::to_string(IN_A_YEAR.time_since_epoch().count()) + "\n"),
            std::string::npos);
  // The temporary file's name fits beside any name that fits.
  const auto longest = dir / (std::string(250, 'x') + ".prom");
  EXPECT_EQ(Run({"--textfile", longest}).status, 0);
  fs::remove(longest);

  // Whatever the checks found (the kernel's offset unset: CRITICAL), a
  // textfile not written fails the run and leaves everything as it was: the
  // old file, and what is no regular file.
  ASSERT_FALSE(orv::SetTaiOffset(0s));
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                           fs::perms::others_exec);
  fs::create_directories(dir / "taken" / "inside");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
  const auto names = [this] {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
      found.push_back(entry.path().filename());
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  const auto before = names();
  for (const auto& [target, options, reason] :
       {std::tuple{textfile, testsupport::AsNobody(), "cannot create a temporary file beside"},
        {dir / "nonexistent" / "orvkit.prom", ProcessOptions{},
         "cannot create a temporary file beside"},
        {dir / "taken", ProcessOptions{}, "not a regular file"},
        {dir / "fifo", ProcessOptions{}, "not a regular file"},
        {dir / "null", ProcessOptions{}, "not a regular file"}}) {
    const auto failed = Run({"--textfile", target}, options);
    EXPECT_EQ(failed.status, 3) << target;
    EXPECT_EQ(failed.err.rfind("ERROR: cannot ", 0), 0u) << failed.err;
    EXPECT_NE(failed.err.find(reason), std::string::npos) << failed.err;
    EXPECT_EQ(failed.out.rfind("UNKNOWN - textfile not written: cannot ", 0), 0u) << failed.out;
    EXPECT_EQ(names(), before);
  }
  const auto json = Json({"--textfile", dir / "fifo"}, {});
  EXPECT_EQ(json.report["state"], "UNKNOWN");
  EXPECT_EQ(json.report["failure"], "textfile not written: cannot replace " +
                                        (dir / "fifo").string() + ": not a regular file");
  // A signal that arrives while the file is written (here the one a file size
  // limit raises) ends the run only once the temporary file is gone.
  const auto limited = testsupport::Run({"prlimit", "--fsize=100", "--core=0", ORVCHECK_PATH,
                                         "--leap-seconds-list", list, "--textfile", textfile});
  EXPECT_EQ(limited.signal, SIGXFSZ);
  EXPECT_EQ(names(), before);
  std::stringstream after;
  after << std::ifstream(textfile).rdbuf();
  EXPECT_EQ(after.str(), written.out);
  EXPECT_TRUE(fs::exists(dir / "taken" / "inside"));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(fs::is_character_file(dir / "null"));

  // A full file system, in a mount namespace of its own.
  const auto full = (dir / "full").string();
  fs::create_directory(full);
  const auto filled =
      testsupport::Run({"unshare", "-m", "sh", "-c",
                        "mount -t tmpfs -o size=16k none " + full + " && cp " + textfile.string() +
                            " " + full + " && { head -c 1M /dev/zero >" + full + "/fill; " +
                            ORVCHECK_PATH + " --leap-seconds-list " + list + " --textfile " + full +
                            "/orvkit.prom >/dev/null; echo status $?; ls -A " + full + "; cmp " +
                            full + "/orvkit.prom " + textfile.string() + " && echo unchanged; }"});
  if (filled.err.find("cannot change root filesystem propagation") != std::string::npos) {
    GTEST_SKIP() << "no private mount namespace inside a chroot: " << filled.err;
  }
  EXPECT_EQ(filled.out, "status 3\nfill\norvkit.prom\nunchanged\n");
  EXPECT_NE(filled.err.find("No space left on device"), std::string::npos) << filled.err;
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// An interface whose name is not UTF-8 (one end of a veth pair), removed again.
class HostileInterface {
 public:
  HostileInterface() {
    const auto added = testsupport::Run(
        {"ip", "link", "add", "name", NAME, "type", "veth", "peer", "name", "orvcheckpeer"});
    EXPECT_EQ(added.status, 0) << added.err;
  }
  HostileInterface(const HostileInterface&) = delete;
  HostileInterface& operator=(const HostileInterface&) = delete;
  ~HostileInterface() { testsupport::Run({"ip", "link", "del", NAME}); }

  static constexpr const char* NAME = "orvcheck\xfe";
};

// One file holds everything that broke a scrape: a name that is not UTF-8, a
// newline, a repeated interface. promtool, prometheus_client's OpenMetrics
// parser and node_exporter take it whole.
TEST_F(Orvcheck, MetricsThatEveryReaderTakes) {
  const HostileInterface hostile;
  fs::create_directories(dir / "textfiles");
  const auto textfile = dir / "textfiles" / "orvkit.prom";
  const auto written = Run({"--textfile", textfile, "--interface", "lo", "--interface",
                            HostileInterface::NAME, "--interface", "lo\nx", "--interface", "lo"},
                           {});
  ASSERT_EQ(written.status, 2) << written.err;
  const auto promtool =
      testsupport::Run({"sh", "-c", "promtool check metrics < " + textfile.string()});
  EXPECT_EQ(promtool.status, 0) << promtool.err << promtool.out;
  std::stringstream content;
  content << std::ifstream(textfile).rdbuf();
  std::size_t samples = 0;
  for (std::string line; std::getline(content, line);) {
    samples += line.starts_with('#') ? 0 : 1;
  }
  const auto parsed = testsupport::Run(
      {"sh", "-c",
       "/usr/bin/python3 -c 'import sys\n"
       "from prometheus_client.openmetrics.parser import text_string_to_metric_families as parse\n"
       "print(sum(len(family.samples) for family in parse(sys.stdin.read())))' < " +
           textfile.string()});
  EXPECT_EQ(parsed.out, std::to_string(samples) + "\n") << parsed.err;

  const auto listen = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
  testsupport::Process exporter(
      {"prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
       "--collector.textfile.directory=" + (dir / "textfiles").string(),
       "--web.listen-address=" + listen},
      testsupport::AsNobody());
  testsupport::ProcessResult scrape;
  for (int attempt = 0; attempt < 50 && scrape.out.empty(); ++attempt) {
    ::usleep(100'000);
    scrape = testsupport::Run({"curl", "-sf", "http://" + listen + "/metrics"});
  }
  exporter.Signal(SIGTERM);
  exporter.Wait();
  EXPECT_NE(scrape.out.find("\nnode_textfile_scrape_error 0\n"), std::string::npos) << scrape.out;
  for (const auto* series :
       {"orvkit_tai_offset_seconds 37", "orvkit_build_info{version=\"0.7.0\"} 1",
        "orvkit_check_state{check=\"interface\",interface=\"lo\"} 2",
        "orvkit_check_state{check=\"interface\",interface=\"lo\\\\x0Ax\"} 2",
        "orvkit_interface_info{interface=\"orvcheck\\\\xFE\"} 1"}) {
    EXPECT_NE(scrape.out.find('\n' + std::string(series) + '\n'), std::string::npos) << series;
  }
}

TEST_F(Orvcheck, RejectedCommandLinesAreUnknown) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"--bogus"},
                                             {"stray"},
                                             {"--format", "yaml"},
                                             {"--timeout", "2"},
                                             {"--monitor", "--timeout", "-1"},
                                             {"--monitor", "--timeout", "0.0004"},
                                             {"--monitor", "--daemon-uid", "-1"},
                                             {"--monitor", "--daemon-uid", "nosuchuser"},
                                             {"--monitor", "--healthy-status", "0,4"},
                                             {"--monitor", "--healthy-status", "0,"},
                                             {"--healthy-status", "0"},
                                             {"--skip", "monitor"},
                                             {"--monitor", "=@orvmon"},
                                             {"--monitor=@"},
                                             {"--phc-warning=0.000002"},
                                             {"--interface=lo", "--phc-warning=-0.1"},
                                             {"--interface=lo", "--phc-critical=1ms"},
                                             {"--interface=lo", "--phc-warning=0.002"},
                                             {"--interface=lo", "--require-tx-type=up"},
                                             {"--interface=lo", "--require-rx-filter=:all"},
                                             {"--interface=lo", "--require-rx-filter=e9:all"}}) {
    const auto result = Run(arguments);
    EXPECT_EQ(result.status, 3) << arguments.front();
    // The plugin's one line on standard output gives the reason, as standard
    // error does before the option listing.
    ASSERT_EQ(result.err.rfind("ERROR: ", 0), 0u) << result.err;
    const auto reason = result.err.substr(7, result.err.find("\n\n") - 7);
    EXPECT_EQ(result.out, "UNKNOWN - " + reason + "\n");
    EXPECT_NE(result.err.find("\n\nOptions:\n  -h [ --help ]"), std::string::npos);
  }
  EXPECT_EQ(Run({"--help"}).status, 0);
  EXPECT_EQ(Run({"--version"}).out, "0.7.0\n");
  // Output that never arrived is no OK.
  const auto full = Run({}, testsupport::StdoutTo("/dev/full"));
  EXPECT_EQ(full.status, 3);
}

// The monitor check needs descriptors for its context and its client: with
// none left it is UNKNOWN, never an abort. Below some limit the dynamic loader
// cannot even start the program.
TEST_F(Orvcheck, MonitorWithTooFewDescriptorsIsUnknown) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers probe memory through a pipe, and report every object as "
                  "invalid once no descriptor is left for it";
#endif
  bool unknown = false;
  for (int limit = 4; limit <= 16; ++limit) {
    const auto result = testsupport::Run(
        {"prlimit", "--nofile=" + std::to_string(limit), ORVCHECK_PATH, "--leap-seconds-list", list,
         "--monitor=@orvcheck-absent", "--timeout", "0.3", "--format", "json"});
    EXPECT_EQ(result.signal, 0) << limit;
    if (result.status == 127 &&
        result.err.find("error while loading shared libraries") != std::string::npos) {
      continue;
    }
    const auto check = Check({result.status, nlohmann::json::parse(result.out)}, "monitor");
    if (check["state"] == "UNKNOWN") {
      unknown = true;
      EXPECT_EQ(check["message"].get<std::string>().rfind("cannot start the client: ", 0), 0u);
      EXPECT_EQ(result.status, 3);
    } else {
      EXPECT_EQ(check["state"], "CRITICAL") << limit;
    }
  }
  EXPECT_TRUE(unknown);
}

}  // namespace

// The ptp4l check on a real grandmaster and slave, run in each one's network
// namespace, where its answers can reach orvcheck's abstract address.
TEST_F(Orvcheck, Ptp4lOnRealDaemons) {
  const testsupport::Ptp4lPair pair;
  const auto check = [this](const testsupport::Ptp4lDaemon& daemon,
                            std::vector<std::string> options) {
    options.insert(options.begin(),
                   {"ip", "netns", "exec", daemon.netns, ORVCHECK_PATH, "--leap-seconds-list", list,
                    "--format", "json", "--ptp4l=" + daemon.socket});
    const auto result = testsupport::Run(options);
    return Check({result.status, nlohmann::json::parse(result.out)}, "ptp4l");
  };
  struct Case {
    testsupport::Ptp4lDaemon daemon;
    std::vector<std::string> options;
    const char* state;
    std::string message;  // how it begins
  };
  // Software timestamping between namespaces is good to some microseconds.
  const std::vector<Case> cases = {
      {pair.grandmaster, {}, "OK", "this clock is the grandmaster: ports 1 ptp0 MASTER;"},
      {pair.slave,
       {"--ptp-offset-warning=0.01", "--ptp-offset-critical=1"},
       "OK",
       "synchronized within 0.01 s: ports 1"},
      {pair.slave,
       {"--ptp-offset-warning=0", "--ptp-offset-critical=1"},
       "WARNING",
       "offset beyond 0 s"},
      {{pair.slave.netns, pair.dir + "/nothing"}, {}, "CRITICAL", "ptp4l not running at "}};
  for (const auto& c : cases) {
    const auto result = check(c.daemon, c.options);
    EXPECT_EQ(result["state"], c.state) << result;
    EXPECT_EQ(result["message"].get<std::string>().rfind(c.message, 0), 0u) << result;
    EXPECT_EQ(result["values"]["up"], c.message != "ptp4l not running at ");
  }
  // Without announcements the slave follows itself again and only listens.
  pair.StopGrandmaster();
  nlohmann::json lost = nlohmann::json::object();
  for (int tries = 0; tries < 40 && lost.value("state", "") != "CRITICAL"; ++tries) {
    std::this_thread::sleep_for(500ms);
    lost = check(pair.slave, {});
  }
  EXPECT_EQ(lost["state"], "CRITICAL") << lost;
}

// The timescale check on the list, the kernel's leap state and a real
// grandmaster, some at a chosen instant. The slave's clock adjustments are
// reads, so it never arms the kernel itself.
TEST_F(Orvcheck, TimescaleSourcesAgree) {
  const testsupport::Ptp4lPair pair;
  WriteList(testsupport::LeapListText({.updated = sys_days{2026y / 11 / 1},
                                       .expires = sys_days{2027y / 12 / 28},
                                       .later = {{sys_days{2027y / 7 / 1}, 1}}}));
  const year_month_day tomorrow{floor<days>(system_clock::now()) + days{1}};
  char endOfToday[16];
  std::snprintf(endOfToday, sizeof endOfToday, "%04d-%02u-%02u", static_cast<int>(tomorrow.year()),
                static_cast<unsigned>(tomorrow.month()), static_cast<unsigned>(tomorrow.day()));
  struct Case {
    std::string grandmaster;  // what it announces: "OFFSET VALID LEAP61 LEAP59"
    int kernelStatus;
    std::string instant;  // empty: now
    const char* state;
    std::string finding;
  };
  for (const auto& c : std::vector<Case>{
           {"37 1 0 0", 0, "", "OK",
            "TAI - UTC: list 37 s, kernel 37 s, grandmaster of " + pair.slave.socket +
                " 37 s; next leap second 2027-07-01 (insert)"},
           {"36 1 0 0", 0, "", "CRITICAL", " says TAI - UTC is 36 s, the list 37 s; "},
           {"37 0 0 0", 0, "", "WARNING", " says its UTC offset is not valid; "},
           {"37 1 0 1", 0, "", "CRITICAL", " announces leap59 that the list does not have; "},
           {"37 1 0 0", STA_INS, "", "CRITICAL",
            "kernel armed to insert a leap second at " + std::string(endOfToday) +
                " that nothing announces; "},
           {"37 1 0 0", 0, "2027-06-30 18:00:00", "WARNING",
            "the list's leap second at 2027-07-01 is not armed in the kernel; "},
           {"37 1 1 0", STA_INS, "2027-06-30 18:00:00", "OK",
            "next leap second 2027-07-01 (insert)"}}) {
    std::istringstream announced(c.grandmaster);
    std::string offset, valid, leap61, leap59;
    announced >> offset >> valid >> leap61 >> leap59;
    testsupport::Run({"ip", "netns", "exec", pair.grandmaster.netns, "pmc", "-u", "-b", "0", "-s",
                      pair.grandmaster.socket,
                      "SET GRANDMASTER_SETTINGS_NP clockClass 6 clockAccuracy 0x21 "
                      "offsetScaledLogVariance 0x4e5d currentUtcOffset " +
                          offset + " leap61 " + leap61 + " leap59 " + leap59 +
                          " currentUtcOffsetValid " + valid +
                          " ptpTimescale 1 timeTraceable 1 frequencyTraceable 1 timeSource 0x20"});
    guard.SetStatus(c.kernelStatus);
    // libfaketime goes to orvcheck alone: in ip, beside a sanitizer's
    // runtime, it deadlocks.
    std::vector<std::string> command = {"ip", "netns", "exec", pair.slave.netns, "env"};
    if (!c.instant.empty()) {
      const auto faked = testsupport::AtInstant({}, c.instant).programEnvironment;
      command.insert(command.end(), faked.begin(), faked.end());
    }
    command.insert(command.end(), {ORVCHECK_PATH, "--leap-seconds-list", list, "--format", "json",
                                   "--ptp4l=" + pair.slave.socket});
    // The slave passes the grandmaster's announcement on at its next one.
    nlohmann::json check = nlohmann::json::object();
    for (int tries = 0; tries < 20 && check.value("state", "") != c.state; ++tries) {
      std::this_thread::sleep_for(tries == 0 ? 0ms : 250ms);
      const auto result = testsupport::Run(command);
      check = Check({result.status, nlohmann::json::parse(result.out)}, "timescale");
    }
    EXPECT_EQ(check["state"], c.state) << check;
    EXPECT_NE(check["message"].get<std::string>().find(c.finding), std::string::npos) << check;
    EXPECT_EQ(check["values"]["kernel"]["leap"], c.kernelStatus == STA_INS ? 1 : 0);
  }
}
