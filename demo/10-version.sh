# Demo step: the version line, the usage, and the store directory made under HOME.
echo "== updater: version and usage"
"$UPDATER" || true
echo
echo "== updater -I prepares the firmware store under \$HOME/.corvane/updater"
"$UPDATER" -I
ls -ld "$HOME/.corvane/updater" | awk '{print $1, $NF}'
echo
