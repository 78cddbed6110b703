#!/usr/bin/env bash
# The whole story on one screen: builds ceupdate (installing what is missing), makes a
# fresh demo image and an update folder from the readable sources in demo/, shows what
# the update would do, installs it, and shows what changed and the next boot's order.
# Everything it makes lands in out/demo (rebuilt on every run).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${CEUPDATE_BUILD:-build}"
CEUPDATE_TARGET=ceupdate bash scripts/setup.sh "$build" >/dev/null
ceupdate="$build/ceupdate"
work=out/demo
rm -rf "$work"
mkdir -p "$work"

# The phone before the update: a registry and three language databases.
"$ceupdate" init "$work/image" >/dev/null
"$ceupdate" reg load --device "$work/image" demo/seed/registry.json >/dev/null
for db in FileNameLang MetaBaseOptions MetaBaseLabels; do
  "$ceupdate" db load --device "$work/image" '\storage\mxip_lang.vol' "\\$db" \
    "demo/seed/$db.json" >/dev/null
done
cp -a "$work/image" "$work/before"

# The update folder: the registry script in UTF-16 LE with BOM and CR LF, the patch
# files built from their JSON sources, and the companion program.
update="$work/update"
mkdir -p "$update"
{ printf '\xff\xfe'; sed 's/$/\r/' demo/update-src/settings.reg.txt | iconv -f UTF-8 -t UTF-16LE; } \
  > "$update/settings.reg"
for patch in FileNameLang MetabaseOptions MetabaseLabels; do
  "$ceupdate" patch build "demo/update-src/$patch.json" "$update/$patch.dat"
done
cp demo/update-src/Brindel.exe "$update/"

echo "== 1. Dry run: what the update would change, and what the installer would pass over"
"$ceupdate" check --device "$work/image" "$update" || true
echo
echo "== 2. Installing (ceupdate run --yes)"
"$ceupdate" run --yes --device "$work/image" "$update"
echo
echo "== 3. What changed on the phone"
"$ceupdate" diff "$work/before" "$work/image" || true
echo
echo "== 4. The next boot"
"$ceupdate" boot --device "$work/image"
echo
echo "The image is in $work/image; try: $ceupdate reg export --device $work/image"
