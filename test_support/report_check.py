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
