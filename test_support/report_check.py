"""Checks that hold for every report of the tool's --json, whatever the scenario."""
import json


def parse_report(test, output):
    """The one JSON object the tool printed, checked to add up to the request."""
    report = json.loads(output)
    test.assertEqual(report["granted"] + report["failed"], report["requested"], report)
    test.assertEqual(sum(grant["threads"] for grant in report["grants"]), report["granted"])
    test.assertEqual(sum(refusal["threads"] for refusal in report["refusals"])
                     + report["not_started"], report["failed"])
    verified = report["verified"]
    test.assertEqual(verified["applied"] + verified["granted_not_applied"] + verified["demoted"],
                     report["granted"])
    test.assertEqual(report["reliable"], verified["applied"])
    return report


SERVICE_KEYS = {"seconds", "period_us", "work_us", "timer_resolution_ns", "real_time", "served",
                "groups"}
GROUP_KEYS = {"by", "threads", "served", "periods", "missed", "wake_us"}
HELD_REAL_TIME = {"kernel", "RealtimeKit", "portal", "MMCSS", "refused but real-time"}


def check_service(test, report):
    """The service section of a --json report, checked to add up to the run: every started
    thread in one group, each with every period of the phase, served or missed. Returns the
    groups by name."""
    service = report["service"]
    test.assertEqual(set(service), SERVICE_KEYS, service)
    periods = round(service["seconds"] * 1e9) // (service["period_us"] * 1000)
    groups = {}
    for group in service["groups"]:
        test.assertEqual(set(group), GROUP_KEYS, group)
        test.assertEqual(set(group["wake_us"]), {"p50", "p99", "max"}, group)
        test.assertEqual(group["periods"], group["threads"] * periods, group)
        test.assertLessEqual(group["missed"], group["periods"], group)
        test.assertLessEqual(group["served"], group["threads"], group)
        # A served thread woke for every period: a group with one has latencies.
        if group["served"]:
            wake = group["wake_us"]
            test.assertLessEqual(wake["p50"], wake["p99"], group)
            test.assertLessEqual(wake["p99"], wake["max"], group)
        test.assertNotIn(group["by"], groups)
        groups[group["by"]] = group
    test.assertEqual(sum(group["threads"] for group in groups.values()),
                     report["requested"] - report["not_started"], service)
    real_time = [group for name, group in groups.items() if name in HELD_REAL_TIME]
    test.assertEqual(service["real_time"], sum(group["threads"] for group in real_time))
    test.assertEqual(service["served"], sum(group["served"] for group in real_time))
    verified = report["verified"]
    test.assertEqual(service["real_time"], verified["applied"] + verified["refused_but_real_time"])
    return groups
