# Sourced by scripts that need `apt-get source`. Bash, set -euo pipefail expected.
#
# ensure_deb_src: makes sure apt knows of source packages. When no deb-src entry exists, writes
# /etc/apt/sources.list.d/pysorvel-deb-src.sources with one deb-src stanza per "Types: deb" stanza of
# the machine's own *.sources files (same URIs, Suites, Components, Signed-By), so the sources come
# from whatever mirror the machine already trusts; then refreshes the lists. Needs root (or sudo).

deb_src_file=/etc/apt/sources.list.d/pysorvel-deb-src.sources

deb_src_present() {
  # One-line format, or a deb822 stanza whose Types list deb-src.
  grep -hsqE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    && return 0
  grep -hsqiE '^Types:.*\bdeb-src\b' /etc/apt/sources.list.d/*.sources
}

# Prints deb-src stanzas mirroring the enabled "Types: deb" stanzas of the given deb822 files.
deb_src_stanzas() {
  awk '
    function flush() {
      if (is_deb && enabled && uris != "") {
        printf "Types: deb-src\nURIs: %s\nSuites: %s\n", uris, suites
        if (comps != "") printf "Components: %s\n", comps
        if (signed != "") printf "Signed-By: %s\n", signed
        printf "\n"
      }
      is_deb = 0; enabled = 1; uris = suites = comps = signed = ""
    }
    BEGIN { enabled = 1 }
    FNR == 1 { flush() }
    /^[[:space:]]*#/ { next }
    /^[[:space:]]*$/ { flush(); next }
    # A continuation line (an inline Signed-By key block) belongs to the field before it.
    /^[[:space:]]/ { if (key == "signed-by") signed = signed "\n" $0; next }
    {
      key = tolower($1); sub(/:$/, "", key)
      value = $0; sub(/^[^:]*:[[:space:]]*/, "", value)
      if (key == "types") { is_deb = (" " value " " ~ /[[:space:]]deb[[:space:]]/) }
      else if (key == "uris") uris = value
      else if (key == "suites") suites = value
      else if (key == "components") comps = value
      else if (key == "signed-by") signed = value
      else if (key == "enabled") enabled = (tolower(value) != "no")
    }
    END { flush() }
  ' "$@"
}

ensure_deb_src() {
  deb_src_present && return 0
  local sudo_cmd=() sources=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f && $f != "$deb_src_file" ]] && sources+=("$f")
  done
  local stanzas=""
  ((${#sources[@]})) && stanzas=$(deb_src_stanzas "${sources[@]}")
  if [[ -z $stanzas ]]; then
    echo "no 'Types: deb' entry in /etc/apt/sources.list.d/*.sources to derive deb-src from" >&2
    return 1
  fi
  echo "adding deb-src entries in $deb_src_file" >&2
  printf '%s\n' "$stanzas" | "${sudo_cmd[@]}" tee "$deb_src_file" >/dev/null
  "${sudo_cmd[@]}" apt-get update -qq
}

# download_source PACKAGE DIR: downloads and unpacks PACKAGE's source into DIR/src, newest version
# first (a mirror may already have dropped the newest one apt lists), and prints the version.
# apt-get's and dpkg-source's output goes to DIR/log.
download_source() {
  local package=$1 dir=$2 versions v sorted=() i
  versions=$( { apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p'
                apt-cache madison "$package" 2>/dev/null | awk -F' *[|] *' '$3 ~ /Sources/ {print $2}'
              } | sort -u)
  for v in $versions; do
    i=${#sorted[@]}
    sorted+=("$v")
    while ((i > 0)) && dpkg --compare-versions "${sorted[i - 1]}" lt "$v"; do
      sorted[i]=${sorted[i - 1]}
      sorted[i - 1]=$v
      i=$((i - 1))
    done
  done
  if ((${#sorted[@]} == 0)); then
    echo "apt lists no source version of $package" >&2
    return 1
  fi
  for v in "${sorted[@]}"; do
    if (cd "$dir" && apt-get source -qq --download-only "$package=$v") >>"$dir/log" 2>&1; then
      if ! dpkg-source -x "$dir"/*.dsc "$dir/src" >>"$dir/log" 2>&1; then
        echo "unpacking $package $v failed:" >&2
        tail -n 20 "$dir/log" >&2
        return 1
      fi
      echo "$v"
      return 0
    fi
    echo "could not download $package $v; trying an older version" >&2
    rm -f "$dir"/*.dsc "$dir"/*.tar.* "$dir"/*.diff.* 2>/dev/null || true
  done
  echo "no source version of $package could be downloaded:" >&2
  tail -n 20 "$dir/log" >&2
  return 1
}
