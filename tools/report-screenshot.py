"""Runs the demo and saves its report as docs/report.png, as headless Chromium shows it.

    .venv/bin/python tools/report-screenshot.py
"""

import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from support.browser import Browser, chromium  # noqa: E402

with tempfile.TemporaryDirectory() as folder:
    subprocess.run([sys.executable, "-m", "norvo_halvex.cli", "demo", "--out", folder], check=True,
                   stdout=subprocess.DEVNULL)
    browser = Browser(chromium())
    try:
        visit, _ = browser.visit(os.path.join(folder, "report.html"), ready="document.documentElement.dataset.rendered",
                                 screenshot=os.path.join(ROOT, "docs", "report.png"))
    finally:
        browser.close()
    if visit.requests or visit.errors:
        sys.exit(f"the report did not open cleanly: {visit}")
print("docs/report.png")
