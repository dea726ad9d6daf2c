# The scrape as Prometheus' own client library reads it: one JSON object a
# family, {"name", "type", "samples": [[name, labels, value], ...]}, a line each.
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

with open(sys.argv[1]) as scrape:
    for family in text_string_to_metric_families(scrape.read()):
        print(json.dumps({"name": family.name, "type": family.type,
                          "samples": [[s.name, s.labels, s.value] for s in family.samples]}))
