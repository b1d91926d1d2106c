#!/usr/bin/env bash
# Builds the libraries Debian does not ship for mingw from Debian's own source packages
# (apt-get source), statically for i686-w64-mingw32, into a cache outside the repository.
#
#   tools/deps/build-deps.sh [recipe...]   (default: every tools/deps/recipes/*.sh)
#
# The cache (VEXO_DEPS_DIR, default /var/cache/vexo-deps) holds the unpacked sources and
# the install prefix <cache>/i686-w64-mingw32 that the toolchain file searches. A recipe is
# rebuilt only when its source version or the recipe itself changes.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DEPS_DIR=${VEXO_DEPS_DIR:-/var/cache/vexo-deps}
PREFIX="$DEPS_DIR/i686-w64-mingw32"
HOST=i686-w64-mingw32
export CC=$HOST-gcc-posix CXX=$HOST-g++-posix AR=$HOST-gcc-ar-posix RANLIB=$HOST-gcc-ranlib-posix
export TOOLCHAIN="$here/../../cmake/toolchain-i686-w64-mingw32.cmake"
JOBS=$(nproc)

mkdir -p "$DEPS_DIR/src" "$DEPS_DIR/stamps" "$PREFIX"

recipes=("$@")
if [ ${#recipes[@]} -eq 0 ]; then
    for r in "$here"/recipes/*.sh; do
        [ -e "$r" ] && recipes+=("$(basename "$r" .sh)")
    done
fi

for name in "${recipes[@]}"; do
    recipe="$here/recipes/$name.sh"
    [ -f "$recipe" ] || { echo "deps: no recipe $name" >&2; exit 1; }
    # shellcheck source=/dev/null
    . "$recipe"  # sets SOURCE_PACKAGE and defines build_recipe <srcdir>
    recipe_hash=$(sha1sum "$recipe" | cut -c1-12)
    if compgen -G "$DEPS_DIR/stamps/$name-*-$recipe_hash" >/dev/null; then
        continue
    fi
    work="$DEPS_DIR/src/$name"
    rm -rf "$work"
    mkdir -p "$work"
    # Newest first; a version whose files the mirror no longer serves is skipped.
    version=
    for v in $(apt-cache showsrc --only-source "$SOURCE_PACKAGE" | sed -n 's/^Version: //p' | sort -rV); do
        if (cd "$work" && apt-get source -q "$SOURCE_PACKAGE=$v" >"$work/apt-source.log" 2>&1); then
            version=$v
            break
        fi
        rm -rf "${work:?}"/*
    done
    [ -n "$version" ] || { echo "deps: cannot get the sources of $SOURCE_PACKAGE (deb-src entries missing?)" >&2; exit 1; }
    echo "deps: building $name from $SOURCE_PACKAGE $version"
    srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    (cd "$srcdir" && build_recipe "$srcdir")
    stamp="$DEPS_DIR/stamps/$name-$version-$recipe_hash"
    rm -f "$DEPS_DIR/stamps/$name-"*
    touch "$stamp"
done
