#!/bin/sh
# render.sh PAGE.scd OUT.gz: the manual page in roff, hyphenation off (the
# pages name many identifiers that must not be split), gzipped as Debian
# installs manual pages.
set -eu
scdoc < "$1" | sed '/^\.TH /a .nh' > "$2.tmp"
gzip -9n < "$2.tmp" > "$2"
rm -f "$2.tmp"
