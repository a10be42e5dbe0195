#!/usr/bin/python3
"""metrics_samples.py - parses a metrics file with the Prometheus client's
parser for the text exposition format and prints its samples, one a line:

    NAME{label="value",...} VALUE

labels in the file's order, values escaped as JSON strings (as the format
escapes them), whole numbers without a fraction. Exit status 1, with the
reason on standard error, when the file does not parse, a family has no
HELP or no TYPE, or a sample lacks the user or gateway label.

It runs with Debian's /usr/bin/python3, where python3-prometheus-client is.
"""

import json
import sys

from prometheus_client.parser import text_string_to_metric_families


def sample_line(sample):
    labels = ",".join(f"{name}={json.dumps(value, ensure_ascii=False)}"
                      for name, value in sample.labels.items())
    value = int(sample.value) if sample.value.is_integer() else sample.value
    return f"{sample.name}{{{labels}}} {value}"


def main():
    lines = []
    try:
        with open(sys.argv[1], encoding="utf-8") as f:
            text = f.read()
        for family in text_string_to_metric_families(text):
            if not family.documentation or family.type == "unknown":
                raise ValueError(f"family {family.name} lacks HELP or TYPE")
            for sample in family.samples:
                if "user" not in sample.labels or "gateway" not in sample.labels:
                    raise ValueError(f"sample {sample.name} lacks the user or gateway label")
                lines.append(sample_line(sample))
    except ValueError as error:
        print(error, file=sys.stderr)
        return 1
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
