#!/bin/sh
# Every message the program can print must stand in its manual page, so the two can't drift.
# Usage: manual_lists_messages.sh MESSAGES_HEADER MANUAL_PAGE
set -eu
command -v groff >/dev/null || { echo "skipped: needs groff"; exit 77; }
text=$(groff -man -t -Tascii -P-cbou -rLL=200n "$2" 2>/dev/null)
messages=$(sed -n 's/^#define MSG_[A-Z_]* "\(.*\)"$/\1/p' "$1")
found=$(printf '%s\n' "$messages" | grep -c .) || true
defined=$(grep -c '^#define MSG_' "$1") || true
# A message wrapped over two lines would otherwise drop out of the check unseen.
[ "$found" -gt 0 ] && [ "$found" -eq "$defined" ] ||
    { echo "$defined messages defined in $1, $found read on one line each"; exit 1; }
printf '%s\n' "$messages" | while IFS= read -r message; do
    # Each %s stands for a name, which the manual writes as a word in italics.
    pattern=$(printf '%s\n' "$message" | sed -e 's/[].[*^$\\]/\\&/g' -e 's/%s/[^ ]*/g')
    printf '%s\n' "$text" | grep -q -- "$pattern" || { echo "not in the manual: $message"; exit 1; }
done
echo "$found messages, all in the manual"
