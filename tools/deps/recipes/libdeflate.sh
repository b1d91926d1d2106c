# Whole-buffer inflate and CRC-32 for the payload's smaller entries (check and extraction), static.
SOURCE_PACKAGE=libdeflate

build_recipe() {
    local src="$1"
    # Its own makefile knows mingw (it names the static library libdeflatestatic.lib there); only
    # the library is built, the wrappers and programs are not needed.
    make -C "$src" -j "$JOBS" libdeflatestatic.lib CC="$CC" AR="$AR" CFLAGS="-O2" \
        DISABLE_SHARED=1 DISABLE_ZLIB=1 >"$src/make.log" 2>&1 ||
        { tail -n 30 "$src/make.log" >&2; return 1; }
    mkdir -p "$PREFIX/lib" "$PREFIX/include"
    cp "$src/libdeflatestatic.lib" "$PREFIX/lib/libdeflate.a"
    cp "$src/libdeflate.h" "$PREFIX/include/"
}
