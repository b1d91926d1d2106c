# Sourced by the benchmark scripts.

# The generated benchmark archive for a shape and seed, made on first use and kept in <build>/bench.
# ENTRIES=<n> makes the names shape smaller (a quick trial of a script; its figures are not the shape's).
bench_archive() {
    local build=$1 shape=$2 seed=$3 src name entries=()
    src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    case "$shape" in
    payload) name="payload-v2-seed$seed.zip" ;;
    names)
        name="names-v1-seed$seed.zip"
        if [ -n "${ENTRIES:-}" ]; then
            name="names-v1-seed$seed-$ENTRIES.zip"
            entries=(--entries "$ENTRIES")
        fi
        ;;
    *) echo "SHAPE must be payload or names" >&2; return 2 ;;
    esac
    mkdir -p "$build/bench"
    if [ ! -f "$build/bench/$name" ]; then
        echo "generating $build/bench/$name (seed $seed) ..." >&2
        # Its summary goes to the terminal: stdout is the path the caller reads.
        python3 "$src/tools/bench/make_bench_zip.py" --seed "$seed" --shape "$shape" "${entries[@]}" --out "$build/bench/$name.tmp" >&2
        mv "$build/bench/$name.tmp" "$build/bench/$name"
    fi
    printf '%s\n' "$build/bench/$name"
}

# Puts the unzip task's benchmark beside the archive as "platform.zip", as the installer finds its
# payload, and maps drive X: to <build>/bench/out-task (or the folder given), so the install folder
# X:\kavix is as short as a real one (every file operation resolves the whole path). Prints the
# program's path.
stage_unzip_task() {
    local build=$1 archive=$2 stage="$1/bench/task" drive=${3:-$1/bench/out-task}
    mkdir -p "$stage" "$drive"
    cp "$build/tools/bench/unzip_task_bench.exe" "$stage/"
    ln -f "$archive" "$stage/platform.zip"
    ln -sfn "$drive" "$build/wine/win32/dosdevices/x:"
    printf '%s\n' "$stage/unzip_task_bench.exe"
}
