#!/bin/sh
# SPDX-License-Identifier: MIT
# scdoc-page.sh SCDOC SOURCE PAGE: the page that scdoc makes of SOURCE, with the first line that
# tells man(1) and lintian to run tbl, since the pages hold tables.
set -e
{
  printf "'\\\\\" t\n"
  "$1" <"$2"
} >"$3"
