#!/usr/bin/env bash
# Refreshes third_party/uplot/ from the npm registry: downloads the tarball
# of the uPlot version that tools/report/package-lock.json locks, checks it
# against the lockfile's sha512 integrity hash, and replaces the files that
# ordavi-report compiles in (dist/uPlot.iife.min.js, dist/uPlot.min.css,
# LICENSE), with third_party/uplot/SOURCE naming the tarball and each file's
# SHA-256 (the build checks both). The build itself never needs the network.
#
#   bash scripts/refresh-uplot.sh           # download, check, replace
#   bash scripts/refresh-uplot.sh --check   # download, check, compare: exit 1 when they differ
#
# For another version, change tools/report/package.json and the lockfile
# first (npm install --package-lock-only uplot@VERSION in tools/report).
# NPM_REGISTRY overrides the registry (default https://registry.npmjs.org).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
lock=$top/tools/report/package-lock.json
dest=$top/third_party/uplot
registry=${NPM_REGISTRY:-https://registry.npmjs.org}
files=(dist/uPlot.iife.min.js dist/uPlot.min.css LICENSE)

say() { echo "refresh-uplot: $*"; }
fail() {
  echo "refresh-uplot: FAILED: $*" >&2
  exit 1
}

check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) fail "unknown argument '$1' (usage: refresh-uplot.sh [--check])" ;;
esac

# The version and the integrity of the lockfile's "node_modules/uplot" entry.
read -r version integrity < <(awk '
  /"node_modules\/uplot": *\{/ { inside = 1; next }
  inside && /"version":/ { gsub(/[",]/, "", $2); v = $2 }
  inside && /"integrity":/ { gsub(/[",]/, "", $2); i = $2 }
  inside && /\}/ { print v, i; exit }' "$lock")
[ -n "${version:-}" ] && [[ "${integrity:-}" == sha512-* ]] ||
  fail "no version and sha512 integrity for node_modules/uplot in $lock"

work=$(mktemp -d /var/tmp/ordavi-uplot.XXXXXX)
trap 'rm -rf "$work"' EXIT
url="$registry/uplot/-/uplot-$version.tgz"
say "downloading $url"
curl -fsSL --retry 3 -o "$work/uplot.tgz" "$url" || fail "could not download $url"
got="sha512-$(openssl dgst -sha512 -binary "$work/uplot.tgz" | base64 -w0)"
[ "$got" = "$integrity" ] || fail "the download's integrity is $got, the lockfile wants $integrity"
say "integrity matches the lockfile: $integrity"

mkdir "$work/x"
tar -xzf "$work/uplot.tgz" -C "$work/x"
{
  echo "uplot@$version $integrity"
  for f in "${files[@]}"; do
    [ -f "$work/x/package/$f" ] || fail "the tarball has no package/$f"
    echo "$(sha256sum <"$work/x/package/$f" | cut -d' ' -f1)  $f"
  done
} >"$work/SOURCE"

if [ $check -eq 1 ]; then
  for f in "${files[@]}" SOURCE; do
    src=$work/x/package/$f
    [ "$f" = SOURCE ] && src=$work/SOURCE
    cmp -s "$src" "$dest/$f" || fail "third_party/uplot/$f differs from uplot@$version"
  done
  say "third_party/uplot/ holds exactly uplot@$version's files"
  exit 0
fi

mkdir -p "$dest/dist"
for f in "${files[@]}"; do
  cp "$work/x/package/$f" "$dest/$f"
done
cp "$work/SOURCE" "$dest/SOURCE"
say "third_party/uplot/ now holds uplot@$version: ${files[*]}"
