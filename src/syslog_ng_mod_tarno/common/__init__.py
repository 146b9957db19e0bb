"""Helpers shared by the parts of the syslog-ng module package."""
