#!/usr/bin/python3
"""The shipped rules under promtool, on what orvcheck really writes.

Each case is a host: every minute, orvcheck runs with that minute's settings
of the fake driver and PHC, and a real node_exporter serves its textfile;
the scrapes, a series gone from one marked stale as Prometheus does, are
promtool's input. Ten healthy minutes come first, then the case's settings
in turn. The alerts firing at every minute must be exactly those expected.
Usage: rules_test.py ORVCHECK PRELOAD RULES
"""
import json, os, socket, subprocess, sys, tempfile, time, urllib.request

ORVCHECK, PRELOAD, RULES = sys.argv[1:]
HEALTHY, MINUTES = 10, 30
PHC = {"check": "phc", "interface": "fake0"}
TUNED = "--interface fake0 --phc-warning 0.00005 --phc-critical 0.0005"
# instance, job, orvcheck's arguments (None: no orvcheck), the fake driver's
# settings in turn, and the alerts: name, labels, first minute firing, first
# not (None: never), and where given the minute at which it alone of its name
# fires, with the share and the "values" its annotations show then.
CASES = [
    ("healthy", "node", "--interface fake0", ["PHC_OFFSET_NS=-400"], []),
    ("renamed", "node", "--interface fake0", ["HWTSTAMP_IF=fake1"],
     [("OrvkitCheckCritical", {"check": "interface", "interface": "fake0"}, 13, None,
       (13, "36.36%", "none: the host has no interface fake0"))]),
    # Two daemons fighting over the clock: CRITICAL and WARNING in turn.
    ("fighting", "node", "--interface fake0", ["PHC_OFFSET_NS=2000000", "PHC_OFFSET_NS=900000"],
     [("OrvkitCheckWarning", PHC, 13, 16, None), ("OrvkitCheckCritical", PHC, 16, None, None)]),
    ("wavering", "node", "--interface fake0", ["PHC_OFFSET_NS=0", "PHC_OFFSET_NS=5000"],
     [("OrvkitCheckWarning", PHC, 17, None, None)]),
    # Other thresholds than the defaults: 20 us is OK there, 100 us a warning.
    ("tuned", "node", TUNED, ["PHC_OFFSET_NS=20000"], []),
    ("tuned-off", "fleet", TUNED, ["PHC_OFFSET_NS=100000"],
     [("OrvkitCheckWarning", PHC, 13, None,
       (16, "63.64%", "phc_offset_critical_seconds=0.0005, phc_offset_seconds=0.0001, "
        "phc_offset_warning_seconds=5e-05, phc_read_delay_seconds=0"))]),
    ("unreadable", "fleet", "--interface fake0", ["ADJTIMEX_ERRNO=1"],
     [("OrvkitCheckUnknown", PHC, 25, None, None),
      ("OrvkitCheckUnknown", {"check": "timescale"}, 25, None, None)]),
    # node_exporter without orvcheck, under a job not called "node".
    ("bare", "fleet", None, [""], [("OrvkitMetricsAbsent", {}, 15, None, None)]),
]
SEVERITY = {"OrvkitCheckCritical": "critical"}


def scrape(port):
    for _ in range(100):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics") as response:
                lines = response.read().decode().splitlines()
            break
        except OSError:
            time.sleep(0.1)
    return [line.rsplit(" ", 1) for line in lines if line.startswith(
        ("orvkit_", "node_textfile_", "node_scrape_collector_success"))]


def series(name, labels):
    return name + "{" + ",".join(f'{k}="{v}"' for k, v in labels.items()) + "}"


def annotations(name, instance, labels, share, values):
    check, of = labels["check"], f" of {labels['interface']}"
    state, judged = ("CRITICAL",) * 2 if name == "OrvkitCheckCritical" else \
        ("WARNING", "WARNING or CRITICAL")
    return {"summary": f"{instance}: the {check} check{of} is {state}",
            "description": f"orvcheck-textfile.service on {instance} judged the {check} check{of} "
                           f"{judged} in {share} of the last 10 minutes.",
            "values": values,
            "runbook": f"Run `orvcheck --interface {labels['interface']}` on {instance}, or read "
                       "`journalctl -u orvcheck-textfile.service` there: the "
                       f"{check} line says why. orvkit-alerts(7) says what to do for each check."}


def main():
    work = tempfile.mkdtemp()
    textfile = os.path.join(work, "textfiles", "orvkit.prom")
    os.mkdir(os.path.dirname(textfile))
    with open(os.path.join(work, "hwtstamp"), "w") as f:
        f.write("0 1 12")  # TX on, RX ptpv2-event
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    exporter = subprocess.Popen(
        ["prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{port}",
         "--collector.disable-defaults", "--collector.textfile",
         f"--collector.textfile.directory={os.path.dirname(textfile)}"], stderr=subprocess.DEVNULL)
    inputs, scrapes, tests, alert_tests = {}, {}, [], []
    try:
        for instance, job, arguments, settings, _ in CASES:
            mine = set()
            for minute in range(MINUTES + 1):
                now = settings[(minute - HEALTHY) % len(settings)] if minute >= HEALTHY else ""
                if (arguments, now) not in scrapes:
                    if os.path.exists(textfile):
                        os.remove(textfile)
                    if arguments is not None:
                        environment = {**os.environ, "LD_PRELOAD": PRELOAD,
                                       "ORVTEST_HWTSTAMP_IF": "fake0",
                                       "ORVTEST_HWTSTAMP_STATE": os.path.join(work, "hwtstamp"),
                                       "ORVTEST_PHC": "0", "ORVTEST_PHC_OFFSET_NS": "-400"}
                        environment.update(("ORVTEST_" + s).split("=", 1) for s in [now] if s)
                        subprocess.run([ORVCHECK, "--skip", "tai-offset", "--skip", "leap-list",
                                        "--textfile", textfile] + arguments.split(),
                                       env=environment, stdout=subprocess.DEVNULL)
                    scrapes[arguments, now] = scrape(port)
                for name, value in scrapes[arguments, now]:
                    own = name[name.index("{"):][1:-1] if "{" in name else ""
                    key = f'{name.split("{")[0]}{{instance="{instance}",job="{job}"' + \
                        ("," + own if own else "") + "}"
                    mine.add(key)
                    inputs.setdefault(key, ["_"] * (MINUTES + 1))[minute] = value
                for key in mine:
                    if minute and inputs[key][minute] == "_" and \
                            inputs[key][minute - 1] not in ("_", "stale"):
                        inputs[key][minute] = "stale"
    finally:
        exporter.terminate()
        exporter.wait()
    for minute in range(MINUTES + 1):
        tests.append({"expr": 'ALERTS{alertstate="firing"}', "eval_time": f"{minute}m",
                      "exp_samples": [
                          {"labels": series("ALERTS", {
                              "alertname": name, "alertstate": "firing", "instance": instance,
                              "job": job, "severity": SEVERITY.get(name, "warning"), **labels}),
                           "value": 1}
                          for instance, job, _, _, alerts in CASES
                          for name, labels, first, until, _ in alerts
                          if first <= minute < (until or MINUTES + 1)]})
    for instance, job, _, _, alerts in CASES:
        for name, labels, _, _, annotated in filter(lambda alert: alert[4], alerts):
            minute, share, values = annotated
            alert_tests.append({"eval_time": f"{minute}m", "alertname": name, "exp_alerts": [{
                "exp_labels": {"instance": instance, "job": job,
                               "severity": SEVERITY.get(name, "warning"), **labels},
                "exp_annotations": annotations(name, instance, labels, share, values)}]})
    path = os.path.join(work, "rules.test.json")
    with open(path, "w") as f:
        json.dump({"rule_files": [os.path.abspath(RULES)], "evaluation_interval": "1m",
                   "tests": [{"interval": "1m", "promql_expr_test": tests,
                              "alert_rule_test": alert_tests,
                              "input_series": [{"series": key, "values": " ".join(values)}
                                               for key, values in inputs.items()]}]}, f)
    result = subprocess.run(["promtool", "test", "rules", path])
    if result.returncode == 0:
        subprocess.run(["rm", "-rf", work])
    return result.returncode


sys.exit(main())
