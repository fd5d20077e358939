# SPDX-License-Identifier: MIT
"""Prints where pure-Python packages go under an install prefix, relative to it, for this interpreter.

Used by CMakeLists.txt: python3 site_dir.py PREFIX
"""

import os
import sys
import sysconfig

prefix = sys.argv[1]
if "deb_system" in sysconfig.get_scheme_names():
    # Debian's interpreter reads its packages' modules from /usr/lib/python3/dist-packages and
    # locally installed ones from <prefix>/lib/python3.X/dist-packages (/usr/local by default).
    if os.path.normpath(prefix) == "/usr":
        print("lib/python3/dist-packages")
    else:
        print("lib/python%d.%d/dist-packages" % sys.version_info[:2])
else:
    purelib = sysconfig.get_path("purelib", vars={"base": prefix, "platbase": prefix})
    print(os.path.relpath(purelib, prefix))
