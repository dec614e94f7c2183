#!/usr/bin/env python3
"""Writes the Debian package's changelog.gz for one release: deb_changelog.py VERSION DATE MAINTAINER OUT

DATE is the release date (YYYY-MM-DD) that the AppStream metadata carries too. The file is
compressed without a name or a time in the gzip header, so that the package is reproducible.
"""

import datetime
import email.utils
import gzip
import sys

version, date, maintainer, out = sys.argv[1:5]
when = datetime.datetime.combine(datetime.date.fromisoformat(date), datetime.time(), datetime.timezone.utc)
text = (f"kestrix ({version}) unstable; urgency=medium\n\n"
        f"  * Release {version}.\n\n"
        f" -- {maintainer}  {email.utils.format_datetime(when)}\n")
with open(out, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as gz:
    gz.write(text.encode())
