"""The report as a browser draws it (test_report's ReportTest, which needs Chromium for that), for
make check-report, which installs Debian's chromium when run as root."""

from test_report import ReportTest  # noqa: F401
