# SPDX-License-Identifier: LGPL-2.1-or-later
"""Python side of the syslog-ng module package syslog-ng-mod-tarno."""
