# SPDX-License-Identifier: LGPL-2.1-or-later
"""Configuration of the syslog-ng module package: event groups and settings."""
