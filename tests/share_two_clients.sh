#!/bin/sh
# share_two_clients.sh PROGRAM MAKE_WAV: two sshfs mounts of one folder through a local sshd, as
# two machines see a share (a lock taken through one binds that one alone): a run on each splits
# its input of one base name into the same pair at once, 20 times; each must end "done" and leave
# one run's whole pair (the inputs differ in size). A take the client looked at, then written
# anew on the server, is split whole; a turn killed through one client is put right through the
# other. Status 77 (skip) without root or the tools.
# shellcheck disable=SC2012  # the share's names are plain
set -u
[ "$(id -u)" = 0 ] && command -v sshfs >/dev/null && [ -x /usr/sbin/sshd ] || exit 77
d=$(mktemp -d) status=0
trap 'fusermount -u $d/m1; fusermount -u $d/m2; kill $(cat $d/pid); rm -rf $d' EXIT
mkdir -p "$d/share" "$d/m1" "$d/m2" /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$d/host" && ssh-keygen -q -t ed25519 -N '' -f "$d/user" || exit 1
port=$((22100 + $$ % 800))
printf '%s\n' "Port $port" "ListenAddress 127.0.0.1" "HostKey $d/host" "PidFile $d/pid" \
    "AuthorizedKeysFile $d/user.pub" "StrictModes no" "Subsystem sftp internal-sftp" >"$d/config"
/usr/sbin/sshd -f "$d/config" -E "$d/log" || exit 1
for m in m1 m2; do
    sshfs -p "$port" -o "IdentityFile=$d/user" -o StrictHostKeyChecking=no \
        -o UserKnownHostsFile=/dev/null "root@127.0.0.1:$d/share" "$d/$m" || exit 1
done
"$2" "$d/share/x.wav" 16 100000 >/dev/null && "$2" "$d/share/x.1.wav" 24 70000 >/dev/null || exit 1
for round in $(seq 20); do
    timeout 60 "$1" "$d/m1/x.wav" >"$d/out1" &
    timeout 60 "$1" "$d/m2/x.1.wav" >"$d/out2"
    wait $!
    said=$(cat "$d/out1" "$d/out2" | tr '\n' ' ') files=$(ls "$d/share" | tr '\n' ' ')
    sizes=$(stat -c %s "$d/share/xL.wav" "$d/share/xR.wav" | uniq | wc -l)
    if [ "$said" != "done done " ] || [ "$sizes" != 1 ] || [ "$files" != "x.1.wav x.wav xL.wav xR.wav " ]; then
        echo "round $round: $said; $sizes sizes; $files" && status=1 && break
    fi
done
cp "$d/share/x.wav" "$d/share/y.wav" && ls -l "$d/m1/y.wav" >/dev/null && cp "$d/share/x.1.wav" "$d/share/y.wav"
[ "$("$1" "$d/m1/y.wav") $(stat -c %s "$d/share/yL.wav")" = "done 210044" ] || { echo "a take written anew not split" && status=1; }
# A run through one client killed between its renames-in (its set-asides are renames too: FUSE
# refuses a rename that never replaces): the next run there, through the other client (its files
# numbered apart), knows the dead run's new output and gives the previous pair back.
if command -v strace >/dev/null; then
    printf LLLLLLLLLL >"$d/share/xL.wav" && printf RRRRRRRRRR >"$d/share/xR.wav"
    strace -f -o /dev/null -e inject=rename:signal=SIGKILL:when=4 "$1" "$d/m1/x.wav" >/dev/null 2>&1
    said=$("$1" "$d/m2/y.wav") files=$(ls "$d/share" | tr '\n' ' ')
    if [ "$said $(cat "$d/share/xL.wav" "$d/share/xR.wav")" != "done LLLLLLLLLLRRRRRRRRRR" ] ||
        [ "$files" != "x.1.wav x.wav xL.wav xR.wav y.wav yL.wav yR.wav " ]; then
        echo "a killed turn not put right through the other client: $said; $files" && status=1
    fi
fi
exit $status
