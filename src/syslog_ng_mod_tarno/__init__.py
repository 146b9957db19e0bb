"""Python side of the syslog-ng module package syslog-ng-mod-tarno."""
