#!/bin/sh
# Every message the program can print must stand in its manual page, so the two can't drift.
# Usage: manual_lists_messages.sh MESSAGES_HEADER MANUAL_PAGE
set -eu
text=$(groff -man -t -Tascii -P-cbou -rLL=200n "$2" 2>/dev/null)
messages=$(sed -n 's/^#define MSG_[A-Z_]* "\(.*\)"$/\1/p' "$1" | sed 's/%s/file/')
[ -n "$messages" ] || { echo "no messages found in $1"; exit 1; }
printf '%s\n' "$messages" | while IFS= read -r message; do
    printf '%s\n' "$text" | grep -qF -- "$message" || { echo "not in the manual: $message"; exit 1; }
done
echo "$(printf '%s\n' "$messages" | wc -l) messages, all in the manual"
