"""A whole pipeline run against the simulator, with sample scanner reports."""

from __future__ import annotations

import json
import logging
import os
import secrets
import tempfile
import zipfile
from typing import TYPE_CHECKING, Any, Dict, List

from .config import Config
from .pipeline import PipelineRun, ReportFile, run_pipeline
from .simulator import Simulator, faults
from .simulator.api import REPORT_PATH

if TYPE_CHECKING:
    from .platform_client import PlatformClient

logger = logging.getLogger(__name__)

DEMO_COMMIT = "3f9c2a1b7d4e5f60718293a4b5c6d7e8f9012345"
# Long enough for the wait step to show a few polls at a one-second interval.
DEMO_SCAN_DELAY = 3.0

_SEMGREP_REPORT = {
    "results": [
        {
            "check_id": "python.lang.security.audit.eval-detected",
            "path": "payments/views.py",
            "start": {"line": 42, "col": 9},
            "end": {"line": 42, "col": 31},
            "extra": {"severity": "ERROR", "message": "Detected the use of eval() on request data."},
        }
    ],
    "errors": [],
}

_GITLEAKS_REPORT = [
    {
        "RuleID": "generic-api-key",
        "Description": "Generic API Key",
        "File": "config/settings.py",
        "StartLine": 12,
        "Commit": DEMO_COMMIT,
        "Secret": "REDACTED",
    }
]


def run_demo(client_class: type[PlatformClient], *, verbose: bool) -> Dict[str, Any]:
    with (
        tempfile.TemporaryDirectory(prefix="quillon-demo-") as workdir,
        Simulator(token=secrets.token_hex(16), scan_delay=DEMO_SCAN_DELAY) as simulator,
    ):
        logger.info("Platform simulator started at %s", simulator.url)
        reports = write_sample_reports(workdir)
        archive = write_sample_archive(os.path.join(workdir, "prepared-scan.zip"))
        # The directory goes away with the demo, so its path is not shown.
        logger.info("Sample reports (Semgrep, Gitleaks) and a scan archive written to a temporary directory")
        simulator.inject(REPORT_PATH, [faults.unavailable(retry_after=1)])
        logger.info(
            "The simulator will answer the first report upload with 503 on purpose, "
            "to show the agent retrying after the pause the platform asks for"
        )

        config = Config(platform_url=simulator.url, api_token=simulator.token, timeout=10, verbose=verbose)
        run = PipelineRun(
            group="demo-team",
            repository="payments-service",
            branch="main",
            commit=DEMO_COMMIT,
            description="quillon-agent demo run",
            source_url="https://git.example.com/demo-team/payments-service",
            reports=reports,
            archive=archive,
            wait=True,
            interval=1,
            max_wait=30,
        )
        result = run_pipeline(client_class(config), run)
        logger.info(
            "Demo finished: %d requests reached the platform, scan %s is %r",
            len(simulator.requests),
            result["scan"]["scan_id"],
            result["scan"]["status"],
        )
        # The temporary files are gone after this block; the paths would mislead.
        for upload in result["reports"]:
            upload["path"] = os.path.basename(upload["path"])
        return result


def write_sample_reports(directory: str) -> List[ReportFile]:
    samples = [
        ("Semgrep JSON Report", "semgrep.json", _SEMGREP_REPORT),
        ("Gitleaks Scan", "gitleaks.json", _GITLEAKS_REPORT),
    ]
    reports = []
    for scan_type, filename, content in samples:
        path = os.path.join(directory, filename)
        with open(path, "w", encoding="utf-8") as report:
            json.dump(content, report, indent=2)
        reports.append(ReportFile(scan_type, path))
    return reports


def write_sample_archive(path: str) -> str:
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("manifest.json", json.dumps({"commit": DEMO_COMMIT, "files": ["payments/views.py"]}))
        archive.writestr("payments/views.py", "def pay(request):\n    return eval(request.GET['amount'])\n")
    return path
