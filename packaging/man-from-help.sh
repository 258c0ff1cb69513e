#!/usr/bin/env bash
# Makes a program's man page from what its --help and --version print:
#   man-from-help.sh PROGRAM NAME "ONE-LINE DESCRIPTION" OUT.1.gz
# The help's first line ("Usage: ...") becomes the synopsis, the paragraph after it the
# description, and each further heading (a line at the left edge after an empty line) a
# subsection whose lines keep their columns.
set -euo pipefail
program="$1" name="$2" summary="$3" out="$4"
version="$("$program" --version | tr -d '\r' | awk '{ print $NF; exit }')"
mkdir -p "$(dirname "$out")"
"$program" --help | tr -d '\r' | awk -v name="$name" -v version="$version" -v summary="$summary" '
  # Backslashes shown as such, minus signs as minus signs, and no line taken for a request.
  function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.\047]/) s = "\\&" s
    return s
  }
  BEGIN {
    printf ".TH %s 1 \"\" \"%s %s\" \"User Commands\"\n", toupper(name), name, version
    printf ".SH NAME\n%s \\- %s\n", name, roff(summary)
    part = "synopsis"
  }
  part == "synopsis" {
    sub(/^Usage: */, "")
    args = $0
    sub(/^[^ ]* */, "", args)
    printf ".SH SYNOPSIS\n.B %s\n%s\n.SH DESCRIPTION\n", name, roff(args)
    part = "description"
    next
  }
  part == "description" && /^$/ { part = "sections"; blank = 1; next }
  part == "description" { print roff($0); next }
  # An empty line within a subsection is kept, one at the end of it is not.
  /^$/ { blank = 1; next }
  blank && /^[^ ]/ {
    if (open) print ".fi"
    printf ".SS %s\n.nf\n", roff($0)
    open = 1; blank = 0
    next
  }
  { if (blank && open) print ""; blank = 0; print roff($0) }
  END {
    if (open) print ".fi"
    print ".SH SEE ALSO"
    print "h8sx\\-writer(1), h8sx(1), h8sx\\-sim(1), /usr/share/doc/h8sx\\-writer/README.md"
  }
' | gzip -9n > "$out"
