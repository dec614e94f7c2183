#!/usr/bin/env bash
# Every tr() text of the window has its English: lupdate, run over src/app and src/widgets
# into a copy of translations/kestrix_en.ts, leaves no entry unfinished (a new or changed text
# shows Chinese in the English window until it is translated).
#   translations_test.sh LUPDATE SOURCE_DIR
set -euo pipefail
lupdate=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$src/translations/kestrix_en.ts" "$tmp/kestrix_en.ts"
"$lupdate" -silent -no-obsolete -locations none -I "$src/src" "$src/src/app" "$src/src/widgets" -ts "$tmp/kestrix_en.ts" >/dev/null
missing=$(grep -c 'type="unfinished"' "$tmp/kestrix_en.ts" || true)
if [ "$missing" != 0 ]; then
  echo "FAIL: $missing text(s) of the window have no English; run" >&2
  echo "  cmake --build BUILD_DIR --target update_translations" >&2
  echo "and translate the entries marked unfinished in translations/kestrix_en.ts:" >&2
  grep -B3 'type="unfinished"' "$tmp/kestrix_en.ts" | grep '<source>' >&2
  exit 1
fi
echo "every text of the window has its English"
