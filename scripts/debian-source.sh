# Sourced by the build scripts: fetches a Debian source package through an apt configuration of the
# kit's own (Debian's source lists, kept in a cache folder), so the machine's own sources, lists and
# caches are left as they are.
#
#   debian_source CACHE PACKAGE VERSION DEST   unpacks PACKAGE=VERSION into DEST once (DEST/.unpacked)
debian_source() {
  local cache=$1 package=$2 version=$3 dest=$4 apt
  [[ -f "$dest/.unpacked" ]] && return 0
  apt="$cache/apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts"
  cat >"$apt/sources.list" <<SRC
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
SRC
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
  rm -rf "$dest" && mkdir -p "$dest"
  apt-get "${opts[@]}" update -qq
  (cd "$dest" && apt-get "${opts[@]}" source --only-source "$package=$version")
  touch "$dest/.unpacked"
}
