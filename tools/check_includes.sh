#!/usr/bin/env bash
# Checks that includes point one way through the layers of src/:
#   common <- device <- partitions, model <- fs/<kind>, raw <- scan <- cli, gui
# (model may include partitions; partitions may include the pure format headers
# core/fs/<kind>/<kind>_format.h, which include only common/; a file system's folder
# includes no other file system's, nor partitions/: a parser knows its volume only by the
# VolumeRecord of device/; in scan/ only parser_registry.cpp names a file system, the
# rest reaches parsers through model/; cli and gui never include each other).
# Usage: check_includes.sh [SRC_DIR]   prints each include that points the wrong way and
#        exits 1 when there is one.
#        check_includes.sh --self-test  shows that a wrong include is caught.
set -u

layer() {  # path relative to src/ -> layer name
    case "$1" in
        core/common/*) echo common ;;
        core/device/*) echo device ;;
        core/partitions/*) echo partitions ;;
        core/model/*) echo model ;;
        core/fs/*/*)
            local rest=${1#core/fs/}
            local kind=${rest%%/*}
            if [ "${1##*/}" = "${kind}_format.h" ]; then echo "format:$kind"; else echo "fs:$kind"; fi ;;
        core/raw/*) echo raw ;;
        core/scan/parser_registry.cpp) echo registry ;;
        core/scan/*) echo scan ;;
        cli/*) echo cli ;;
        gui/*) echo gui ;;
        *) echo other ;;
    esac
}

allowed() {  # from-layer to-layer -> status 0 when the include is allowed
    local from=$1 to=$2
    case "$from" in
        common) [[ $to == common ]] ;;
        device) [[ $to == common || $to == device ]] ;;
        partitions) [[ $to == common || $to == device || $to == partitions || $to == format:* ]] ;;
        model) [[ $to == common || $to == device || $to == partitions || $to == model ]] ;;
        format:*) [[ $to == common ]] ;;
        fs:*)
            local kind=${from#fs:}
            [[ $to == common || $to == device || $to == model || $to == "format:$kind" || $to == "fs:$kind" ]] ;;
        raw) [[ $to == common || $to == device || $to == partitions || $to == model || $to == raw ]] ;;
        registry) [[ $to != cli && $to != gui && $to != other ]] ;;
        scan) [[ $to != cli && $to != gui && $to != other && $to != fs:* && $to != format:* ]] ;;
        cli) [[ $to != gui && $to != other ]] ;;
        gui) [[ $to != cli && $to != other ]] ;;
        *) true ;;
    esac
}

check() {  # SRC_DIR
    local src bad=0 file rel from line target resolved to
    src=$(cd "$1" && pwd) || return 2
    while IFS= read -r file; do
        rel=${file#"$src"/}
        from=$(layer "$rel")
        [ "$from" = other ] && continue
        while IFS= read -r line; do
            target=$(sed -E 's/^[^"]*"([^"]+)".*$/\1/' <<<"${line#*:}")
            if [ -f "$src/$target" ]; then
                resolved=$target
            elif [ -f "$(dirname "$file")/$target" ]; then
                resolved=$(realpath -m --relative-to="$src" "$(dirname "$file")/$target")
            else
                continue  # not a file of this tree
            fi
            to=$(layer "$resolved")
            if ! allowed "$from" "$to"; then
                echo "$rel:${line%%:*}: includes $resolved ($from may not include $to)"
                bad=1
            fi
        done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
    done < <(find "$src" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' \) | sort)
    return $bad
}

self_test() {
    local dir
    dir=$(mktemp -d) || return 2
    trap 'rm -rf "$dir"' RETURN
    mkdir -p "$dir/core/common" "$dir/core/device" "$dir/core/partitions" "$dir/core/fs/ntfs" "$dir/core/scan"
    echo '#pragma once' > "$dir/core/common/a.h"
    printf '#include "core/common/a.h"\n' > "$dir/core/fs/ntfs/ntfs_format.h"
    printf '#include "core/fs/ntfs/ntfs_format.h"\n' > "$dir/core/partitions/p.h"
    printf '#include "p.h"\n#include "core/common/a.h"\n' > "$dir/core/partitions/p.cpp"
    printf '#include "core/partitions/p.h"\n' > "$dir/core/scan/s.h"
    check "$dir" >/dev/null || { echo "self-test: a sound tree was refused"; return 1; }
    printf '#include "core/scan/s.h"\n' > "$dir/core/device/d.h"
    printf '#include "../partitions/p.h"\n' > "$dir/core/device/d.cpp"
    local out
    out=$(check "$dir") && { echo "self-test: wrong includes were let through"; return 1; }
    [ "$(grep -c 'device may not include' <<<"$out")" = 2 ] || { echo "self-test: $out"; return 1; }
    printf '#include "core/partitions/p.h"\n' > "$dir/core/fs/ntfs/ntfs_format.h"
    rm "$dir/core/device/d.h" "$dir/core/device/d.cpp"
    out=$(check "$dir") && { echo "self-test: a format header including partitions was let through"; return 1; }
    printf '#include "core/common/a.h"\n' > "$dir/core/fs/ntfs/ntfs_format.h"
    printf '#include "core/fs/ntfs/ntfs_format.h"\n' > "$dir/core/fs/ntfs/ntfs.h"
    printf '#include "core/fs/ntfs/ntfs.h"\n' > "$dir/core/scan/parser_registry.cpp"
    check "$dir" >/dev/null || { echo "self-test: the parser registry naming a file system was refused"; return 1; }
    printf '#include "core/partitions/p.h"\n' > "$dir/core/fs/ntfs/ntfs.cpp"
    printf '#include "core/fs/ntfs/ntfs.h"\n' > "$dir/core/scan/recycle.cpp"
    printf '#include "../fs/ntfs/ntfs_format.h"\n' > "$dir/core/scan/names.cpp"
    out=$(check "$dir") && { echo "self-test: a parser including partitions or a scan file naming a file system was let through"; return 1; }
    [ "$(grep -c 'fs:ntfs may not include partitions' <<<"$out")" = 1 ] &&
        [ "$(grep -c 'scan may not include' <<<"$out")" = 2 ] || { echo "self-test: $out"; return 1; }
    echo "self-test passed"
}

if [ "${1:-}" = --self-test ]; then
    self_test
else
    check "${1:-$(dirname "$0")/../src}"
fi
