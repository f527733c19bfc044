# Rewrites APT source files so that Debian's own suites carry the non-free component and have
# source lines (deb-src) too: rar and the unrar-nonfree source live there. Sourced, not run.
#
#   apt_sources_rewrite FILE   prints FILE as it should be; FILE itself is not touched
#
# FILE is read as deb822 when its name ends in .sources, otherwise as one-line entries
# ("deb [options] URI suite component..."). A Debian suite is $DEBIAN_CODENAME (from
# /etc/os-release) or "stable", with or without -updates, -security, -backports or
# -proposed-updates (or the old "/updates"). Other repositories, cdrom: entries, commented lines
# and stanzas with "Enabled: no" stay as they are; a file that needs nothing comes out unchanged.

apt_sources_codename() {
  if [ -n "${DEBIAN_CODENAME:-}" ]; then echo "$DEBIAN_CODENAME"; return; fi
  local name
  name=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  echo "${name:-bookworm}"
}

apt_sources_rewrite() {
  local file=$1 codename
  codename=$(apt_sources_codename)
  case "$file" in
    *.sources) awk -v codename="$codename" "$_APT_SOURCES_AWK_COMMON$_APT_SOURCES_AWK_DEB822" "$file" ;;
    *)         awk -v codename="$codename" "$_APT_SOURCES_AWK_COMMON$_APT_SOURCES_AWK_ONELINE" "$file" "$file" ;;
  esac
}

# Plain POSIX awk (Debian's default is mawk): no gensub, no match() captures.
_APT_SOURCES_AWK_COMMON='
function debian_suite(s) {
  sub(/\/$/, "", s)
  if (s == codename "/updates") return 1
  sub(/-(updates|security|backports|proposed-updates)$/, "", s)
  return s == codename || s == "stable"
}
function has_word(list, word,    n, i, w) {
  n = split(list, w, /[ \t]+/)
  for (i = 1; i <= n; i++) if (w[i] == word) return 1
  return 0
}
'

# One-line entries. The file is read twice: first for the deb-src lines it has, then to print.
_APT_SOURCES_AWK_ONELINE='
# Splits an entry into e_type, e_opts ("" or "[...]"), e_uri, e_suite, e_comps, e_tail (a
# trailing comment with its leading blanks); 0 when the line is no entry.
function parse(line,    rest, n, t, i, j, k) {
  rest = line
  e_tail = ""
  k = index(rest, "#")
  if (k > 0) { e_tail = substr(rest, k); rest = substr(rest, 1, k - 1) }
  sub(/[ \t]+$/, "", rest)
  sub(/^[ \t]+/, "", rest)
  n = split(rest, t, /[ \t]+/)
  if (n < 3 || (t[1] != "deb" && t[1] != "deb-src")) return 0
  e_type = t[1]
  i = 2
  e_opts = ""
  if (substr(t[2], 1, 1) == "[") {
    for (j = 2; j <= n; j++) {
      e_opts = e_opts (j > 2 ? " " : "") t[j]
      if (substr(t[j], length(t[j]), 1) == "]") break
    }
    i = j + 1
  }
  if (i + 1 > n) return 0
  e_uri = t[i]; e_suite = t[i + 1]
  e_comps = ""
  for (j = i + 2; j <= n; j++) e_comps = e_comps (j > i + 2 ? " " : "") t[j]
  return 1
}
function ours() { return e_uri !~ /^cdrom:/ && debian_suite(e_suite) }
function key() { u = e_uri; sub(/\/+$/, "", u); return u " " e_suite }
function entry(type,    s) {
  s = type (e_opts != "" ? " " e_opts : "") " " e_uri " " e_suite
  if (e_comps != "") s = s " " e_comps
  return s
}
FNR == NR { if (parse($0) && e_type == "deb-src" && ours()) sources[key()] = 1; next }
{
  if (!parse($0) || !ours()) { print; next }
  changed = 0
  if (!has_word(e_comps, "non-free")) { e_comps = e_comps " non-free"; changed = 1 }
  if (changed) print entry(e_type) (e_tail != "" ? " " e_tail : "")
  else print
  if (e_type == "deb" && !(key() in sources)) { print entry("deb-src"); sources[key()] = 1 }
}
'

# deb822 stanzas, kept line by line; each is decided on when its blank line (or the end) comes.
_APT_SOURCES_AWK_DEB822='
function field(line,    k) { k = index(line, ":"); return k > 0 ? tolower(substr(line, 1, k - 1)) : "" }
function value(line) { sub(/^[^:]*:[ \t]*/, "", line); return line }
function flush(    i, f, n, s, ok, types, comps, suites, uris, enabled, ti, ci) {
  types = comps = suites = uris = ""; enabled = "yes"; ti = ci = 0; f = ""
  for (i = 1; i <= count; i++) {
    if (lines[i] ~ /^#/) continue
    if (lines[i] ~ /^[ \t]/) { n = lines[i]; sub(/^[ \t]+/, "", n) }
    else { f = field(lines[i]); n = value(lines[i]); if (f == "types") ti = i; if (f == "components") ci = i }
    if (f == "types") types = types " " n
    else if (f == "components") comps = comps " " n
    else if (f == "suites") suites = suites " " n
    else if (f == "uris") uris = uris " " n
    else if (f == "enabled") enabled = tolower(n)
  }
  ok = 0
  n = split(suites, s, /[ \t]+/)
  for (i = 1; i <= n; i++) if (s[i] != "" && debian_suite(s[i])) ok = 1
  if (uris ~ /(^|[ \t])cdrom:/ || enabled == "no" || ti == 0) ok = 0
  if (ok) {
    if (has_word(types, "deb") && !has_word(types, "deb-src")) lines[ti] = lines[ti] " deb-src"
    if (ci == 0) { count++; lines[count] = "Components: non-free" }
    else if (!has_word(comps, "non-free")) lines[ci] = lines[ci] " non-free"
  }
  for (i = 1; i <= count; i++) print lines[i]
  count = 0
}
/^[ \t]*$/ { flush(); print; next }
{ lines[++count] = $0 }
END { flush() }
'
