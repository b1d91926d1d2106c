# libcurl's easy interface for the .NET Framework downloads: plain HTTP only, no TLS, built for
# Windows XP (no Vista-only imports), static.
SOURCE_PACKAGE=curl

build_recipe() {
    local src="$1"
    # Debian's patches touch the autotools inputs; regenerate as Debian's build does.
    (cd "$src" && autoreconf -fi >/dev/null 2>&1)
    mkdir -p "$src/build-mingw"
    cd "$src/build-mingw"
    "$src/configure" --host="$HOST" --prefix="$PREFIX" --enable-static --disable-shared \
        CPPFLAGS="-D_WIN32_WINNT=0x0501 -DWINVER=0x0501" \
        --without-ssl --without-zlib --without-brotli --without-zstd --without-libpsl --without-libidn2 \
        --without-nghttp2 --without-nghttp3 --without-ngtcp2 --without-librtmp --without-libssh \
        --without-libssh2 --without-libgsasl \
        --disable-ldap --disable-ldaps --disable-rtsp --disable-dict --disable-telnet --disable-tftp \
        --disable-pop3 --disable-imap --disable-smtp --disable-gopher --disable-mqtt --disable-ftp \
        --disable-file --disable-smb --disable-manual --disable-ntlm --disable-unix-sockets \
        --disable-docs --disable-alt-svc --disable-hsts --disable-netrc \
        --disable-dependency-tracking >configure.log 2>&1 ||
        { tail -n 30 configure.log >&2; return 1; }
    make -j "$JOBS" -C lib >make.log 2>&1 || { tail -n 30 make.log >&2; return 1; }
    make -C lib install >/dev/null
    make -C include install >/dev/null
    # Debian's packaging names the library after a TLS flavour; we link the plain name.
    local lib
    for lib in "$PREFIX"/lib/libcurl-*.a; do
        [ -e "$lib" ] && cp "$lib" "$PREFIX/lib/libcurl.a"
    done
    [ -f "$PREFIX/lib/libcurl.a" ] && [ -f "$PREFIX/include/curl/curl.h" ]
}
