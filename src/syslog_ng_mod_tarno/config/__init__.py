"""Configuration of the syslog-ng module package: event groups and settings."""
