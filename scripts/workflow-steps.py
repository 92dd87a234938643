"""Writes the shell of every `run` step of the workflows to a file of its own in OUT, for
shellcheck: bash, with each ${{ ... }} expression in place of a variable, as the runner
substitutes it before the shell sees it.

Usage: python3 scripts/workflow-steps.py OUT WORKFLOW...
"""
import re
import sys
from pathlib import Path

import yaml


def main() -> None:
    out = Path(sys.argv[1])
    for workflow in sys.argv[2:]:
        jobs = yaml.safe_load(Path(workflow).read_text())["jobs"]
        for job, body in jobs.items():
            for number, step in enumerate(body.get("steps", [])):
                if "run" not in step:
                    continue
                script = re.sub(r"\$\{\{[^}]*\}\}", "${EXPRESSION}", step["run"])
                name = f"{Path(workflow).stem}-{job}-{number}.sh"
                (out / name).write_text(f"#!/bin/bash\nexport EXPRESSION=x\n{script}\n")


main()
