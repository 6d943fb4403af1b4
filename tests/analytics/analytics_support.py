"""Constants shared by the analytics tests."""

DATE = "2026-06-01"
INDEX = "000300.XSHG"
