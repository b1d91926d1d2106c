#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. Safe to run again:
# when everything is already there it only checks and returns.
set -euo pipefail

packages=(
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
    libz-mingw-w64-dev
    wine wine32:i386 wine64
    xvfb xauth xdotool x11-apps xcompmgr imagemagick fonts-wqy-microhei
    cmake make googletest python3 python3-pil zip unzip hyperfine time dpkg-dev autoconf automake libtool pkgconf
    osslsigncode openssl
)

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root (it installs packages)" >&2
    exit 1
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need_update=1
fi

# Source entries let later steps build libraries Debian does not ship for mingw
# (apt-get source). They are derived from the machine's own binary entries.
src_list=/etc/apt/sources.list.d/vexo-deb-src.sources
if [ ! -s "$src_list" ]; then
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$src_list" ] && continue
        # keep only stanzas of type deb that are not already source stanzas
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             { n = split($0, l, "\n"); t = ""
               for (i = 1; i <= n; i++) if (l[i] ~ /^Types:/) t = l[i]
               if (t ~ /[ \t]deb([ \t]|$)/ && t !~ /deb-src/) {
                   out = ""
                   for (i = 1; i <= n; i++) out = out (l[i] ~ /^Types:/ ? "Types: deb-src" : l[i]) "\n"
                   printf "%s\n", out } }' "$f" >>"$tmp"
    done
    if [ -f /etc/apt/sources.list ]; then
        grep -E '^\s*deb\s' /etc/apt/sources.list | sed -E 's/^\s*deb\s/deb-src /' >"${src_list%.sources}.list" || true
        [ -s "${src_list%.sources}.list" ] || rm -f "${src_list%.sources}.list"
    fi
    cp "$tmp" "$src_list"
    rm -f "$tmp"
    need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
