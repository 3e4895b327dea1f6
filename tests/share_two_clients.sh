#!/bin/sh
# Two machines sharing one folder, as two sshfs mounts of it through a local sshd: on each, a run
# splits an input of one base name into the same pair at the same moment, round after round.
# Each round must leave one run's whole pair (a lock taken through one mount binds that mount
# alone, as on NFS and SMB clients) and nothing else.
# Usage: share_two_clients.sh PROGRAM MAKE_WAV   (status 77, a skip, without root, sshfs or sshd)
set -u
bin=$1 make_wav=$2
if [ "$(id -u)" != 0 ] || ! command -v sshfs >/dev/null || [ ! -x /usr/sbin/sshd ] ||
    ! command -v fusermount >/dev/null; then
    echo "needs root, sshfs and openssh-server"
    exit 77
fi
dir=$(mktemp -d)
cleanup() {
    for m in m1 m2; do fusermount -u "$dir/$m" 2>/dev/null; done
    [ -s "$dir/sshd.pid" ] && kill "$(cat "$dir/sshd.pid")"
    rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/share" "$dir/m1" "$dir/m2" /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$dir/host" && ssh-keygen -q -t ed25519 -N '' -f "$dir/user" &&
    cp "$dir/user.pub" "$dir/authorized" || exit 1
port=$((22100 + $$ % 800))
cat >"$dir/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $dir/host
AuthorizedKeysFile $dir/authorized
PermitRootLogin prohibit-password
PasswordAuthentication no
StrictModes no
Subsystem sftp internal-sftp
PidFile $dir/sshd.pid
EOF
/usr/sbin/sshd -f "$dir/sshd_config" -E "$dir/sshd.log" || exit 1
for m in m1 m2; do
    sshfs -p "$port" -o "IdentityFile=$dir/user" -o StrictHostKeyChecking=no \
        -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR "root@127.0.0.1:$dir/share" "$dir/$m" ||
        { cat "$dir/sshd.log"; exit 1; }
done
# Of different sizes, so that a pair of one left and the other right shows.
"$make_wav" "$dir/share/x.wav" 16 100000 >/dev/null &&
    "$make_wav" "$dir/share/x.1.wav" 24 70000 48000 >/dev/null || exit 1
status=0
for round in $(seq 20); do
    "$bin" "$dir/m1/x.wav" >"$dir/out1" &
    "$bin" "$dir/m2/x.1.wav" >"$dir/out2"
    wait $!
    said=$(cat "$dir/out1" "$dir/out2" | tr '\n' ' ')
    left=$(stat -c %s "$dir/share/xL.wav") right=$(stat -c %s "$dir/share/xR.wav")
    files=$(ls "$dir/share" | tr '\n' ' ')
    if [ "$said" != "done done " ] || [ "$left" != "$right" ] ||
        [ "$files" != "x.1.wav x.wav xL.wav xR.wav " ]; then
        echo "round $round: said '$said', left $left bytes, right $right, files: $files"
        status=1
    fi
done
exit $status
