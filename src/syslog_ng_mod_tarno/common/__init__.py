# SPDX-License-Identifier: LGPL-2.1-or-later
"""Helpers shared by the parts of the syslog-ng module package."""
