# Demo step: the version line, the usage, and the store directory made under HOME.
echo "== updater: version and usage"
"$UPDATER" || true
echo
echo "== any command makes the firmware store under \$HOME/.corvane/updater (-I does nothing else)"
"$UPDATER" -I
ls -ld "$HOME/.corvane/updater" | awk '{print $1, $NF}'
echo
