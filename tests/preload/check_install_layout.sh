#!/usr/bin/env bash
# check_install_layout.sh BUILD_DIR: `cmake --install` into a temporary prefix gives a tree that
# works without the build tree: bin/vorna finds lib/vorna/, the libraries find each other through
# $ORIGIN, and `vorna run` and `vorna config` work from there.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
home=$(mktemp -d)
trap 'rm -rf "$prefix" "$home"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/vorna lib/vorna/libvorna-preload.so lib/vorna/libvorna.so lib/vorna/libmivo.so.0 \
            lib/vorna/vorna-config-probe; do
  [ -e "$prefix/$file" ] || fail "$file not installed"
done

for file in lib/vorna/libvorna.so lib/vorna/vorna-config-probe; do
  runpath=$(readelf -d "$prefix/$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [ "$runpath" = '$ORIGIN' ] || fail "$file has RUNPATH '$runpath', wants \$ORIGIN"
  # Every library of ours it needs comes from the installed tree.
  while read -r name arrow path _; do
    case "$name" in
      libvorna*|libmivo*) [[ "$path" == "$prefix/lib/vorna/"* ]] || fail "$file takes $name from $path" ;;
    esac
  done < <(ldd "$prefix/$file")
done

preload=$(env -u LD_PRELOAD "$prefix/bin/vorna" run sh -c 'printf %s "$LD_PRELOAD"')
[ "$preload" = "$prefix/lib/vorna/libvorna-preload.so" ] || fail "vorna run set LD_PRELOAD='$preload'"

mkdir -p "$home/.vorna"
echo "FPS = 12" > "$home/.vorna/conf"
config=$(HOME=$home "$prefix/bin/vorna" config glxgears 2>/dev/null) || fail "vorna config failed"
grep -qx '  FPS = 12' <<<"$config" || fail "vorna config did not show the user's FPS: $config"

exit $status
