# Sourced by the scripts that run in a dedicated prefix and write its edition texts: the check
# they report with, and the prefix's own ProductName/CurrentVersion, noted once per prefix (so
# even a run that was killed is undone next time) and put back with restore_edition.
# Needs WINEPREFIX (tools/wine/with-prefix.sh sets it); counts failed checks in `failures`.

edition_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
edition_saved="$WINEPREFIX/.vexo-own-version-values"
failures=0

# The installer is a 32-bit program: on 64-bit Windows it sees the 32-bit registry view (/reg:32).
_edition_reg() { wine reg "$@" </dev/null | tr -d '\r'; }

set_edition() {  # product name, version text
    _edition_reg add "$edition_key" /v ProductName /d "$1" /f /reg:32 >/dev/null
    _edition_reg add "$edition_key" /v CurrentVersion /d "$2" /f /reg:32 >/dev/null
}

# False when the prefix's own texts cannot be read.
note_own_edition() {
    [ -s "$edition_saved" ] && return 0
    local value product version
    value() { _edition_reg query "$edition_key" /v "$1" /reg:32 | sed -n 's/^.*REG_SZ    //p'; }
    product=$(value ProductName)
    version=$(value CurrentVersion)
    [ -n "$product" ] && [ -n "$version" ] || return 1
    printf '%s\n%s\n' "$product" "$version" >"$edition_saved"
}

restore_edition() {
    [ -s "$edition_saved" ] && set_edition "$(sed -n 1p "$edition_saved")" "$(sed -n 2p "$edition_saved")"
    return 0
}

check() {  # what, wanted, got
    if [ "$3" = "$2" ]; then
        echo "ok   $1: $3"
    else
        echo "FAIL $1: got '$3', want '$2'"
        failures=$((failures + 1))
    fi
}
