#!/usr/bin/env bash
# The English catalogue is complete and current: lupdate run over the
# sources again finds no text without a translation and changes nothing in
# the committed catalogue (a text added, changed or dropped in the code
# shows as a difference).
#   translations_check.sh LUPDATE SOURCE_DIR
set -euo pipefail
lupdate=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src/translations/zarvion_en.ts" "$work/zarvion_en.ts"
(cd "$src" && "$lupdate" -silent src apps -extensions cpp,h,ui -locations none -no-obsolete \
  -source-language zh_CN -target-language en -ts "$work/zarvion_en.ts")
status=0
if grep -n -B2 'type="unfinished"' "$work/zarvion_en.ts"; then
  echo "texts above have no English translation" >&2
  status=1
fi
if ! diff -u "$src/translations/zarvion_en.ts" "$work/zarvion_en.ts"; then
  echo "translations/zarvion_en.ts is not current: run the lupdate line in README.md" >&2
  status=1
fi
exit $status
