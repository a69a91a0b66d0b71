#!/usr/bin/env bash
# The manuals: each renders with man and groff without a warning and has a
# NAME line apropos can read; every manual one refers to is shipped; and the
# protocol manual shows, character for character, every reply text the server
# has in its code (so a reply added or changed there must be documented).
source "$(dirname "$0")/lib.sh"

man_dir="$source_dir/man"
have groff || skip "groff not found"

pages=("$man_dir"/*.[1-8])
[ "${#pages[@]}" -ge 5 ] || fail "expected qmxd.8, qmx.1, qmx-vport.1, qmx.txt.5 and qmx-protocol.7"

render() {  # PAGE: plain text, wide enough that no reply is broken
  LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$1" 2>/dev/null | col -b
}

for page in "${pages[@]}"; do
  name=$(basename "$page")
  warnings=$(LC_ALL=C.UTF-8 groff -man -t -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $name: $warnings"
  if have man; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warns on $name: $warnings"
  fi
  if have lexgrog; then
    lexgrog "$page" >/dev/null || fail "$name has no NAME line apropos can read"
  fi
  # References to QMX manuals name shipped pages.
  for ref in $(grep -o 'qmx[a-z.\\-]*\s*([1-8])' "$page" | tr -d ' \\' | sort -u); do
    target="${ref%(*}.$(tr -dc '1-8' <<<"${ref#*(}")"
    [ -f "$man_dir/$target" ] || fail "$name refers to $ref, which is not shipped"
  done
done

have man || { echo "man not found: reply texts not checked"; finish; }

# Every reply the server can send: string literals in its code that begin
# with a three-digit code, first line only; %s stands for any text. The
# metrics page's HTTP status lines and the window's texts are not replies.
render "$man_dir/qmx-protocol.7" >"$work/protocol.txt"
grep -rhoE --exclude-dir=metrics --exclude-dir=ui '"[2-5][0-9]{2} [^"]*"' "$source_dir/src" |
  sort -u >"$work/replies"
[ -s "$work/replies" ] || fail "no reply texts found in the code"
while IFS= read -r literal; do
  text=${literal#\"}
  text=${text%\"}
  # A text that ends its line must not be shown with more after it.
  end=""
  case "$text" in *\\r*|*\\n*) end='($|[^[:alnum:]])' ;; esac
  text=${text%%\\r*}
  text=${text%%\\n*}
  pattern=$(sed -e 's/[][\.*^$/()|+?{}]/\\&/g' -e 's/%s/.+/g' <<<"$text")
  grep -Eq "(^|[[:space:]“])$pattern$end" "$work/protocol.txt" ||
    fail "reply \"$text\" is not in qmx-protocol(7)"
done <"$work/replies"
grep -q 'QMX ver2.01 ready' "$work/protocol.txt" || fail "the greeting is not in qmx-protocol(7)"

finish
