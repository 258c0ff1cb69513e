#!/usr/bin/env bash
# Makes a program's man page from what its --help and --version print:
#   man-from-help.sh NAME "ONE-LINE DESCRIPTION" OUT.1.gz PROGRAM
# PROGRAM may be several words: a cross-built program after its emulator.
# The help's first line ("Usage: ...") becomes the synopsis, the paragraph after it the
# description, and each further heading (a line at the left edge after an empty line) a
# subsection whose lines keep their columns. A program with commands (a "Commands" heading
# listing them, two blanks in) gets a section for each, made alike from 'PROGRAM COMMAND
# --help'. SEE ALSO names the other programs' pages.
set -euo pipefail
name="$1" summary="$2" out="$3"
program=("${@:4}")
version="$("${program[@]}" --version | tr -d '\r' | awk '{ print $NF; exit }')"
mkdir -p "$(dirname "$out")"
help="$("${program[@]}" --help | tr -d '\r')"
commands="$(printf '%s\n' "$help" | awk '/^$/ { in_list = 0 } in_list && /^  [a-z]/ { print $1 } /^Commands$/ { in_list = 1 }')"
{
  printf '%s\n' "$help"
  # Each command's help, after a line holding a form feed and its name.
  for command in $commands; do
    printf '\f%s\n' "$command"
    "${program[@]}" "$command" --help | tr -d '\r'
  done
} | awk -v name="$name" -v version="$version" -v summary="$summary" '
  # Backslashes shown as such, minus signs as minus signs, and no line taken for a request.
  function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.\047]/) s = "\\&" s
    return s
  }
  function close_block() { if (open) print ".fi"; open = 0 }
  BEGIN {
    printf ".TH %s 1 \"\" \"%s %s\" \"User Commands\"\n", toupper(name), name, version
    printf ".SH NAME\n%s \\- %s\n", name, roff(summary)
    part = "synopsis"
  }
  /^\f/ {
    close_block()
    command = substr($0, 2)
    part = "synopsis"
    next
  }
  part == "synopsis" {
    sub(/^Usage: */, "")
    args = $0
    sub(/^[^ ]* */, "", args)
    if (command == "") {
      printf ".SH SYNOPSIS\n.B %s\n%s\n.SH DESCRIPTION\n", name, roff(args)
    } else {
      sub(/^[^ ]* */, "", args)
      printf ".SH \"%s %s\"\n.B %s %s\n%s\n.PP\n", toupper(name), toupper(roff(command)), name, roff(command), roff(args)
    }
    part = "description"
    next
  }
  part == "description" && /^$/ { part = "sections"; blank = 1; next }
  part == "description" { print roff($0); next }
  # An empty line within a subsection is kept, one at the end of it is not.
  /^$/ { blank = 1; next }
  blank && /^[^ ]/ {
    close_block()
    printf ".SS %s\n.nf\n", roff($0)
    open = 1; blank = 0
    next
  }
  { if (blank && open) print ""; blank = 0; print roff($0) }
  END {
    close_block()
    print ".SH SEE ALSO"
    split("h8sx-writer h8sx h8sx-sim", pages, " ")
    for (i = 1; i <= 3; ++i) if (pages[i] != name) printf "%s(1), ", roff(pages[i])
    print "/usr/share/doc/h8sx/README.md"
  }
' | gzip -9n > "$out"
