#!/bin/sh
# Writes po/Korvo.pot: every text of the Korvo sources marked with _(),
# and merges it into every translation.
set -eu
cd "$(dirname "$0")/.."
xgettext --language=C++ --keyword=_ --from-code=UTF-8 --package-name=Korvo --package-version=1.0 \
  --add-comments=TRANSLATORS: --sort-by-file --output=po/Korvo.pot ./*.cpp ./*.h
for translation in po/*.po; do
  msgmerge --quiet --update --backup=none "$translation" po/Korvo.pot
done
