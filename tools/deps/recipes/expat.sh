# XML parser for the window's skin files (UTF-8 interface; callers convert to wide text).
SOURCE_PACKAGE=expat

build_recipe() {
    local src="$1/expat"
    # Debian's tree carries no generated configure script; make it as Debian's build does.
    (cd "$src" && autoreconf -fi >/dev/null 2>&1)
    mkdir -p "$1/build-mingw"
    cd "$1/build-mingw"
    "$src/configure" --host="$HOST" --prefix="$PREFIX" --enable-static --disable-shared \
        --without-docbook --without-examples --without-tests --without-xmlwf >configure.log 2>&1 ||
        { tail -n 30 configure.log >&2; return 1; }
    make -j "$JOBS" >make.log 2>&1 || { tail -n 30 make.log >&2; return 1; }
    make install >/dev/null
}
