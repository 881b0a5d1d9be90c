#!/usr/bin/python3
"""The shipped rules under promtool, on what orvcheck really writes.

Each case is a host: for every minute, orvcheck runs with the fake driver
and PHC settings of that minute, and a real node_exporter serves its
textfile; the scrapes become promtool's input series. Ten healthy minutes
come first, then the case's own settings, repeated. The alerts that fire at
every minute must be exactly those the table expects.
Usage: rules_test.py ORVCHECK PRELOAD RULES
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

ORVCHECK, PRELOAD, RULES = sys.argv[1:]
HEALTHY_MINUTES = 10
MINUTES = 30
FAKE0_PHC = {"check": "phc", "interface": "fake0"}
TUNED = "--interface fake0 --phc-warning 0.00005 --phc-critical 0.0005"

# instance, job, orvcheck's arguments (None: no orvcheck at all), settings
# of the fake driver after the healthy minutes, repeated (";" between
# several), and the alerts expected: name, labels, the first minute firing
# and the first no longer (None: to the end), and, where given, a minute at
# which it alone of its name fires, with its share of faulty time and its
# annotation "values" then.
CASES = [
    ("healthy", "node", "--interface fake0", ["PHC_OFFSET_NS=-400"], []),
    # The interface is renamed: the driver answers for another name.
    ("renamed", "node", "--interface fake0", ["HWTSTAMP_IF=fake1"],
     [("OrvkitCheckCritical", {"check": "interface", "interface": "fake0"}, 13, None,
       (13, "36.36%", "none: the host has no interface fake0"))]),
    # Two daemons fighting over the clock: CRITICAL and WARNING in turn.
    ("fighting", "node", "--interface fake0", ["PHC_OFFSET_NS=2000000", "PHC_OFFSET_NS=900000"],
     [("OrvkitCheckWarning", FAKE0_PHC, 13, 16, None),
      ("OrvkitCheckCritical", FAKE0_PHC, 16, None, None)]),
    ("wavering", "node", "--interface fake0", ["PHC_OFFSET_NS=0", "PHC_OFFSET_NS=5000"],
     [("OrvkitCheckWarning", FAKE0_PHC, 17, None, None)]),
    # Thresholds other than the defaults: 20 us is OK there, 100 us a warning.
    ("tuned", "node", TUNED, ["PHC_OFFSET_NS=20000"], []),
    ("tuned-off", "fleet", TUNED, ["PHC_OFFSET_NS=100000"],
     [("OrvkitCheckWarning", FAKE0_PHC, 13, None,
       (16, "63.64%", "phc_offset_critical_seconds=0.0005, phc_offset_seconds=0.0001, "
        "phc_offset_warning_seconds=5e-05, phc_read_delay_seconds=0"))]),
    ("unreadable", "fleet", "--interface fake0", ["ADJTIMEX_ERRNO=1"],
     [("OrvkitCheckUnknown", FAKE0_PHC, 25, None, None)]),
    # node_exporter under a job not called "node", without orvcheck.
    ("bare", "fleet", None, [""], [("OrvkitMetricsAbsent", {}, 15, None, None)]),
]
SEVERITY = {"OrvkitCheckCritical": "critical", "OrvkitCheckWarning": "warning",
            "OrvkitCheckUnknown": "warning", "OrvkitMetricsAbsent": "warning"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def scrape(port):
    """The samples node_exporter serves that the rules may read."""
    for _ in range(100):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics") as response:
                text = response.read().decode()
            break
        except OSError:
            time.sleep(0.1)
    else:
        raise RuntimeError(f"node_exporter does not answer on port {port}")
    samples = {}
    for line in text.splitlines():
        if line.startswith("#") or not line.startswith(("orvkit_", "node_textfile_",
                                                        "node_scrape_collector_success")):
            continue
        series, value = line.rsplit(" ", 1)
        samples[series] = float(value)
    return samples


def selector(name, labels):
    return name + "{" + ",".join(f'{k}="{v}"' for k, v in sorted(labels.items())) + "}"


def with_labels(series, instance, job):
    """A scraped series as Prometheus stores it, with its target's labels."""
    name, _, labels = series.partition("{")
    own = labels[:-1].split(",") if labels else []
    return f'{name}{{instance="{instance}",job="{job}"' + "".join("," + l for l in own) + "}"


def main():
    work = tempfile.mkdtemp()
    textfiles = os.path.join(work, "textfiles")
    os.mkdir(textfiles)
    state = os.path.join(work, "hwtstamp")
    with open(state, "w") as f:
        f.write("0 1 12")  # TX on, RX ptpv2-event
    port = free_port()
    exporter = subprocess.Popen(
        ["prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{port}",
         "--collector.disable-defaults", "--collector.textfile",
         f"--collector.textfile.directory={textfiles}"], stderr=subprocess.DEVNULL)
    series = {}
    scrapes = {}
    try:
        for instance, job, arguments, settings, _ in CASES:
            for minute in range(MINUTES + 1):
                now = "" if minute < HEALTHY_MINUTES else \
                    settings[(minute - HEALTHY_MINUTES) % len(settings)]
                key = (arguments, now)
                if key not in scrapes:
                    for name in os.listdir(textfiles):
                        os.remove(os.path.join(textfiles, name))
                    if arguments is not None:
                        environment = {"LD_PRELOAD": PRELOAD, "ORVTEST_HWTSTAMP_IF": "fake0",
                                       "ORVTEST_HWTSTAMP_STATE": state, "ORVTEST_PHC": "0",
                                       "ORVTEST_PHC_OFFSET_NS": "-400"}
                        for setting in filter(None, now.split(";")):
                            name, value = setting.split("=", 1)
                            environment["ORVTEST_" + name] = value
                        subprocess.run([ORVCHECK, "--skip", "tai-offset", "--skip", "leap-list",
                                        "--textfile", os.path.join(textfiles, "orvkit.prom")]
                                       + arguments.split(), env=environment,
                                       stdout=subprocess.DEVNULL, check=False)
                    scrapes[key] = scrape(port)
                for name, value in scrapes[key].items():
                    values = series.setdefault(with_labels(name, instance, job),
                                               ["_"] * (MINUTES + 1))
                    values[minute] = repr(value)
                # A series gone from a scrape is marked stale, as Prometheus does.
                for name, values in series.items():
                    if name.split("{")[1].startswith(f'instance="{instance}",') and \
                            values[minute] == "_" and minute > 0 and \
                            values[minute - 1] not in ("_", "stale"):
                        values[minute] = "stale"
    finally:
        exporter.terminate()
        exporter.wait()

    tests = []
    for minute in range(MINUTES + 1):
        firing = []
        for instance, job, _, _, alerts in CASES:
            for name, labels, first, until, _ in alerts:
                if first <= minute < (until or MINUTES + 1):
                    firing.append({"labels": selector("ALERTS", {
                        "alertname": name, "alertstate": "firing", "instance": instance,
                        "job": job, "severity": SEVERITY[name], **labels}), "value": 1})
        tests.append({"expr": 'ALERTS{alertstate="firing"}', "eval_time": f"{minute}m",
                      "exp_samples": firing})
    alert_tests = []
    for instance, job, _, _, alerts in CASES:
        for name, labels, _, _, annotated in alerts:
            if annotated is None:
                continue
            minute, share, values = annotated
            alert_tests.append({"eval_time": f"{minute}m", "alertname": name, "exp_alerts": [{
                "exp_labels": {"instance": instance, "job": job, "severity": SEVERITY[name],
                               **labels},
                "exp_annotations": annotations(name, instance, labels, share, values)}]})
    suite = {"rule_files": [os.path.abspath(RULES)], "evaluation_interval": "1m",
             "tests": [{"interval": "1m",
                        "input_series": [{"series": s, "values": " ".join(v)}
                                         for s, v in sorted(series.items())],
                        "promql_expr_test": tests, "alert_rule_test": alert_tests}]}
    path = os.path.join(work, "rules.test.json")
    with open(path, "w") as f:
        json.dump(suite, f, indent=1)
    result = subprocess.run(["promtool", "test", "rules", path], capture_output=True, text=True)
    print(result.stdout, result.stderr, sep="")
    if result.returncode != 0:
        print(f"FAIL: promtool on {path}, kept for reading", file=sys.stderr)
    else:
        subprocess.run(["rm", "-rf", work], check=True)
    return result.returncode


def annotations(name, instance, labels, share, values):
    check = labels["check"]
    interface = labels.get("interface")
    of = f" of {interface}" if interface else ""
    state, judged = ("CRITICAL", "CRITICAL") if name == "OrvkitCheckCritical" else \
        ("WARNING", "WARNING or CRITICAL")
    option = f" --interface {interface}" if interface else ""
    return {
        "summary": f"{instance}: the {check} check{of} is {state}",
        "description": f"orvcheck-textfile.service on {instance} judged the {check} check{of} "
                       f"{judged} in {share} of the last 10 minutes.",
        "values": values,
        "runbook": f"Run `orvcheck{option}` on {instance}, or read `journalctl -u "
                   f"orvcheck-textfile.service` there: the {check} line says why. "
                   f"orvkit-alerts(7) says what to do for each check."}


if __name__ == "__main__":
    sys.exit(main())
