#!/usr/bin/env bash
# Writes the distribution from a built bundle: the shipped binaries of ours
# stripped (their debug info kept apart, tied by gnu_debuglink), the portable
# zip, the per-user installer, the symbols archive and SHA256SUMS.
#
# make-dist.sh --source DIR --bundle DIR --out DIR
#              [--engine-dir DIR --core FILE] [--sign-pfx FILE [--timestamp-url URL]]
#              [--release-url URL]
#
# Without --engine-dir and --core the engine and the core are our stand-ins
# and every artifact name says "standins". With them, the Flutter app's
# release output (flutter_windows.dll, the other DLLs beside it, data/) and a
# sing-box.exe ship byte for byte. --sign-pfx signs our executables, the
# uninstaller and the setup (password in TESSARIN_SIGN_PASSWORD). --release-url
# (where the artifacts will be published) also writes the winget and Scoop
# manifests, which name them there with their SHA-256.
set -euo pipefail

source_dir="" bundle="" out="" engine_dir="" core="" pfx="" timestamp_url="" release_url=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --source) source_dir=$2; shift 2 ;;
    --bundle) bundle=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --engine-dir) engine_dir=$2; shift 2 ;;
    --core) core=$2; shift 2 ;;
    --sign-pfx) pfx=$2; shift 2 ;;
    --timestamp-url) timestamp_url=$2; shift 2 ;;
    --release-url) release_url=$2; shift 2 ;;
    *) echo "make-dist: unknown argument $1" >&2; exit 2 ;;
  esac
done
fail() { echo "make-dist: $*" >&2; exit 1; }
[[ -n $source_dir && -n $bundle && -n $out ]] || fail "--source, --bundle and --out are needed"
if [[ -n $engine_dir || -n $core ]]; then
  [[ -n $engine_dir && -n $core ]] || fail "a release needs both --engine-dir and --core"
  [[ -f $engine_dir/flutter_windows.dll ]] || fail "no flutter_windows.dll in $engine_dir"
  [[ -d $engine_dir/data ]] || fail "no data/ in $engine_dir"
  [[ -f $core ]] || fail "no core at $core"
  kind=""
else
  kind="-standins"
fi
if [[ -n $pfx ]]; then
  [[ -f $pfx ]] || fail "no certificate at $pfx"
  [[ -n ${TESSARIN_SIGN_PASSWORD+set} ]] || fail "TESSARIN_SIGN_PASSWORD is not set"
fi

version=$(sed -n 's/^#define TESSARIN_VERSION_TEXT "\(.*\)"$/\1/p' "$source_dir/shell/resources/version.h")
[[ -n $version ]] || fail "no version in version.h"
base="tessarin-$version$kind-windows-x64"
out=$(mkdir -p "$out" && cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
symbols=$work/symbols
mkdir -p "$stage/bin" "$symbols"

# The password goes to osslsigncode in a file only this build can read, never
# on a command line that other processes can see.
if [[ -n $pfx ]]; then
  (umask 077 && printf '%s' "$TESSARIN_SIGN_PASSWORD" >"$work/sign-password")
fi

# Signs one file in place; also what makensis runs on the uninstaller.
cat >"$work/sign" <<EOF
#!/bin/sh
set -e
[ -n "$pfx" ] || exit 0
osslsigncode sign -pkcs12 "$pfx" -readpass "$work/sign-password" -h sha256 \
  ${timestamp_url:+-t "$timestamp_url"} -in "\$1" -out "\$1.signed" >/dev/null
mv "\$1.signed" "\$1"
EOF
chmod +x "$work/sign"

# One binary of ours: stripped, its debug info beside the symbols, signed.
ship_ours() {
  local from=$1 to=$2 name
  name=$(basename "$to")
  x86_64-w64-mingw32-objcopy --only-keep-debug "$from" "$symbols/$name.debug"
  x86_64-w64-mingw32-strip --strip-all -o "$to" "$from"
  (cd "$symbols" && x86_64-w64-mingw32-objcopy --add-gnu-debuglink="$name.debug" "$to")
  "$work/sign" "$to"
}

ship_ours "$bundle/tessarin.exe" "$stage/tessarin.exe"
ship_ours "$bundle/tessarin-guard.exe" "$stage/tessarin-guard.exe"
if [[ -z $kind ]]; then
  cp -p "$engine_dir"/*.dll "$stage/"
  cp -pR "$engine_dir/data" "$stage/data"
  cp -p "$core" "$stage/bin/sing-box.exe"
else
  ship_ours "$bundle/flutter_windows.dll" "$stage/flutter_windows.dll"
  ship_ours "$bundle/bin/sing-box.exe" "$stage/bin/sing-box.exe"
  cp -pR "$bundle/data" "$stage/data"
fi

# The installer writes exactly these files and its uninstaller removes
# exactly these, each directory only once it is empty.
nsis_text() { local t=${1//\$/\$\$}; printf '%s' "${t//\"/\$\\\"}"; }
(
  cd "$stage"
  find . -type f | LC_ALL=C sort | while read -r file; do
    file=${file#./}
    dir=$(dirname "$file")
    win=${file//\//\\}
    target='$INSTDIR'
    [[ $dir == . ]] || target+="\\$(nsis_text "${dir//\//\\}")"
    printf 'SetOutPath "%s"\nFile "%s"\n' "$target" "$(nsis_text "$stage/$file")" >>"$work/install.nsh"
    printf 'Delete "$INSTDIR\\%s"\n' "$(nsis_text "$win")" >>"$work/uninstall.nsh"
    # The installation's own list, and the test of a name against it.
    printf 'FileWrite $R9 "%s$\\r$\\n"\n' "$(nsis_text "$win")" >>"$work/manifest.nsh"
    printf 'StrCmp $R0 "%s" 0 +2\nStrCpy $R1 "yes"\n' "$(nsis_text "$win")" >>"$work/shipped.nsh"
  done
  find . -mindepth 1 -type d | LC_ALL=C sort -r | while read -r dir; do
    dir=${dir#./}
    printf 'RMDir "$INSTDIR\\%s"\n' "$(nsis_text "${dir//\//\\}")" >>"$work/uninstall.nsh"
  done
)
printf 'SetOutPath "$INSTDIR"\n' >>"$work/install.nsh"
{ printf 'StrCpy $R1 ""\n'; cat "$work/shipped.nsh"; } >"$work/shipped-test.nsh"

rm -f "$out/$base.zip" "$out/$base-setup.exe" "$out/$base-symbols.zip"
sign_define=()
[[ -z $pfx ]] || sign_define=("-DSIGN_COMMAND=$work/sign")
makensis -V2 -WX "-DROOT=$source_dir" "-DOUTFILE=$out/$base-setup.exe" \
  "-DINSTALL_FILES=$work/install.nsh" "-DUNINSTALL_FILES=$work/uninstall.nsh" \
  "-DMANIFEST_FILES=$work/manifest.nsh" "-DSHIPPED_TEST=$work/shipped-test.nsh" "${sign_define[@]}" \
  "$source_dir/installer/tessarin.nsi"
(cd "$stage" && cmake -E tar cf "$out/$base.zip" --format=zip -- *)
(cd "$symbols" && cmake -E tar cf "$out/$base-symbols.zip" --format=zip -- *)
# Manifests only for a release that says where it will be: without that,
# none (and none left from an earlier run).
rm -rf "$out/winget" "$out/scoop"
if [[ -n $release_url ]]; then
  python3 "$source_dir/cmake/make-manifests.py" --source "$source_dir" --dist "$out" \
    --release-url "$release_url" "--kind=$kind"
fi
(
  cd "$out"
  manifests=()
  [[ -z $release_url ]] || manifests=(winget/*.yaml scoop/tessarin.json)
  # This build's artifacts only: a folder is one kind's (releases and the
  # stand-in distribution each have their own).
  sha256sum -- "$base.zip" "$base-setup.exe" "$base-symbols.zip" "${manifests[@]}" >SHA256SUMS.new
  mv SHA256SUMS.new SHA256SUMS
)
