#!/usr/bin/env bash
# The manual page: groff and man render it without a single warning, its NAME
# line gives the whatis entry, and every option of the usage text (plain and
# after -D) has an entry of its own.
source "$(dirname "$0")/lib.sh" "$@"

PAGE=${PELKO_SOURCE_DIR:-$(dirname "$0")/../..}/doc/pelko.1
[ -f "$PAGE" ] || { _fail "no manual page at $PAGE"; finish; }

# Every warning groff knows (-ww), on the page as it is and as man shows it
# at two widths.
groff -ww -man -Tutf8 "$PAGE" >/dev/null 2>"$TMP/groff" || _fail "groff failed"
expect_eq "groff -ww: no warnings" "" "$(cat "$TMP/groff")"
for width in 80 64; do
  MANWIDTH=$width man --warnings=w -l "$PAGE" >"$TMP/man" 2>"$TMP/man_err" \
    || _fail "man -l at width $width failed"
  expect_eq "man -l at width $width: no warnings" "" "$(cat "$TMP/man_err")"
  [ -s "$TMP/man" ] || _fail "man -l at width $width: nothing rendered"
done
lexgrog "$PAGE" >"$TMP/whatis" 2>&1 || _fail "lexgrog: no whatis entry"
expect_contains "whatis entry" "pelko - estimate" "$(cat "$TMP/whatis")"

# The options, as the usage text writes them: "--path | -p", "[--seed",
# "-D". The advanced ones are always there.
"$PELKO" -h >"$TMP/usage" || _fail "pelko -h failed"
"$PELKO" -D -h >>"$TMP/usage" || _fail "pelko -D -h failed"
options=$(grep -oE -- '(^|[][ |])--?[A-Za-z][A-Za-z0-9_-]*' "$TMP/usage" \
  | sed -E 's/^[][ |]//' | sort -u)
# A change of layout must not leave nothing to check.
for known in --path -p --merge --help -V --bucket-size --chunk-size -A -D; do
  grep -qx -- "$known" <<<"$options" || _fail "usage text: $known not found in:
$(sed 's/^/    /' "$TMP/usage")"
done

# The page as plain text on lines too long to break or hyphenate. An option's
# entry is a tag at the page's indent: "-p, --path path", "--seed n".
{ printf '.nh\n'; cat "$PAGE"; } \
  | groff -man -Tascii -P-c -P-b -P-u -rLL=2000n 2>/dev/null >"$TMP/page.txt"
grep -E '^ {7}-' "$TMP/page.txt" >"$TMP/tags" || true
missing=""
for opt in $options; do
  grep -qE -- "^ {7}(-[A-Za-z], )?$opt([ ,]|\$)" "$TMP/tags" || missing+=" $opt"
done
expect_eq "options of the usage text without an entry in the page" "" "${missing# }"

finish
