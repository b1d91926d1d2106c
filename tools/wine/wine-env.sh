# Sourced by the Wine helpers. Puts Wine on the project's own prefix inside the
# build tree and creates that prefix on first use.
#
#   VEXO_BUILD_DIR   build tree (required)
#   VEXO_PREFIX      prefix name below <build>/wine (default "win32")
#   VEXO_WINEARCH    win32 or win64 (default win32)
#   VEXO_WINVER      Windows version of the prefix, as winecfg names it (default win7)

: "${VEXO_BUILD_DIR:?VEXO_BUILD_DIR must name the build tree}"
VEXO_PREFIX=${VEXO_PREFIX:-win32}
VEXO_WINEARCH=${VEXO_WINEARCH:-win32}
VEXO_WINVER=${VEXO_WINVER:-win7}

VEXO_WINE_DIR="$VEXO_BUILD_DIR/wine"
export WINEPREFIX="$VEXO_WINE_DIR/$VEXO_PREFIX"
# A fresh prefix links Desktop and Documents to $HOME: keep them in the build tree.
export HOME="$VEXO_WINE_DIR/home"
export WINEDEBUG=${WINEDEBUG:--all}
# Wine names Unix files in the locale's character set: without UTF-8, Chinese file names
# (the payload has some) cannot be created at all.
case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
*UTF-8* | *utf8* | *UTF8* | *utf-8*) ;;
*)
    unset LC_ALL LC_CTYPE
    export LANG=C.UTF-8
    ;;
esac
# No Mono or Gecko install prompts: the installer needs neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# The virtual display a test session started (tools/wine/wine-session.sh), while it is alive.
if [ -z "${DISPLAY:-}" ] && [ -f "$VEXO_WINE_DIR/xvfb.display" ] &&
    kill -0 "$(cat "$VEXO_WINE_DIR/xvfb.pid" 2>/dev/null || echo 0)" 2>/dev/null; then
    DISPLAY=$(cat "$VEXO_WINE_DIR/xvfb.display")
    export DISPLAY
fi

vexo_wine_prefix_ready() {
    [ -f "$WINEPREFIX/.vexo-ready" ]
}

# Faces the skin and the message boxes use, mapped to a CJK font so Chinese text renders.
vexo_wine_font_reg() {
    local face
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for face in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "SimSun" "NSimSun" "SimHei" \
                "Microsoft YaHei" "Microsoft Sans Serif" "Segoe UI" "Arial" "宋体" "微软雅黑" "黑体"; do
        printf '"%s"="WenQuanYi Micro Hei"\r\n' "$face"
    done
    # A crashing test must fail, not wait for someone to close a crash dialog.
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n'
}

vexo_wine_prefix_create() {
    mkdir -p "$HOME" "$VEXO_WINE_DIR"
    (
        flock 9
        vexo_wine_prefix_ready && exit 0
        rm -rf "$WINEPREFIX"
        WINEARCH=$VEXO_WINEARCH wineboot -i >/dev/null 2>&1 || true
        local reg="$VEXO_WINE_DIR/$VEXO_PREFIX-setup.reg"
        # UTF-16 with a byte-order mark: the face names include Chinese ones.
        vexo_wine_font_reg | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$reg.tmp"
        wine regedit /S "$(winepath -w "$reg.tmp")" >/dev/null 2>&1
        winecfg /v "$VEXO_WINVER" >/dev/null 2>&1 || true
        wineserver -w
        rm -f "$reg.tmp"
        [ -f "$WINEPREFIX/system.reg" ] || { echo "wine: prefix $WINEPREFIX was not created" >&2; exit 1; }
        touch "$WINEPREFIX/.vexo-ready"
    ) 9>"$VEXO_WINE_DIR/$VEXO_PREFIX.lock"
}
