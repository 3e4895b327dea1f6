#!/bin/sh
# A turn left behind, one row at a time: left_behind.sh QUENLOR ROW, run as root in a scratch
# folder that holds x.wav, x.1.wav, xL.wav (LLLLLLLLLL) and xR.wav (RRRRRRRRRR). Prints what the
# runs say and what the row shows, then the folder's names. (Commands held in variables are split
# into words on purpose; the folder's names are plain.)
# shellcheck disable=SC2086,SC2012
q=$1
trace='env ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null'
as='setpriv --clear-groups --reuid='
daemon="${as}daemon --regid=daemon"
nobody="${as}nobody --regid=nogroup"

# kill AT [RUNNER]: a split of x.wav killed at system call AT (rename:when=2, say).
kill_at() { $2 $trace -e inject="${1%%:*}":signal=SIGKILL:"${1#*:}" "$q" x.wav; }
# The previous outputs kept aside, whole, then removed.
prev() { cat ./*.prev | fold -w10 | sort | tr -d '\n'; echo; rm ./*.prev; }
# What each output holds: the previous file's first bytes, or the new file's (RIFF).
outputs() { for f in xL.wav xR.wav; do head -c 4 $f 2>/dev/null || printf -; done; echo; }
# A run's lines with the names of its temporaries and backups made alike.
same() { sed 's/quenlor2-[0-9a-f-]*\.\(prev\|part\)/quenlor2-N.\1/g'; }
# A name's line and a lock of a run of this computer that is gone.
f() { printf '%s %d:%s\n' "$1" ${#2} "$2"; }
lock() {
    { echo quenlor2 lock; f host "$(uname -n)"
      f machine "$(cat /etc/machine-id) $(readlink /proc/self/ns/pid)"
      f boot "$(cat /proc/sys/kernel/random/boot_id)"
      printf 'pid %s\nstart 5\n' "$(sh -c 'echo $$')"; } >"$1"
}
# held TRACE PROGRAM ACTION: PROGRAM run under strace with TRACE, whose injection stops it with
# SIGSTOP; ACTION run once it is stopped ($p: its process; given up after 30 s); then it goes on.
held() {
    log=$(mktemp)
    (i=0; until grep -qs 'stopped by SIGSTOP' "$log" || [ $((i += 1)) -gt 3000 ]; do sleep 0.01
     done; read -r p rest <"$log"; eval "$3"; kill -CONT "$p") 2>/dev/null &
    env ASAN_OPTIONS=detect_leaks=0 strace -f -o "$log" $1 $2 2>/dev/null; wait; rm -f "$log"
}

cp xL.wav x.L; cp xR.wav x.R; cp x.1.wav y.wav
case $2 in
planted)  # names outside the folder: refused, nothing touched
    mkdir v s; chmod 1777 s; echo keep >v/tL.wav; cp x.wav s; lock s/quenlor2-turn.lock
    { echo file 1 2 0; f output ../v/tL.wav; f backup ''; f temp ../v/tL.wav; echo new 1 2 0 3 4
      f output ../v/tR.wav; f backup ''; f temp ../v/tL.wav; printf 'new 1 2 0 3 4\nend\n'
    } >>s/quenlor2-turn.lock
    "$q" s/x.wav; echo $?; cat v/*; ls s; rm -r s v ;;
damaged)  # a lock that names no holder: the backups stay
    kill_at rename:when=1; echo damaged >quenlor2-turn.lock; "$q" x.1.wav; prev ;;
failing)  # the undo fails too: each backup named
    $trace -e inject=rename:error=EIO:when=2+ "$q" x.wav | same; "$q" x.1.wav; prev ;;
pid-ns) unshare -p -f --mount-proc sh -c "$trace -e inject=rename:signal=SIGKILL:when=1 $q x.wav"
    "$q" x.1.wav ;;
uts-ns) unshare -u sh -c "hostname box2; $trace -e inject=rename:signal=SIGKILL:when=1 $q x.wav"
    "$q" x.1.wav ;;
hidepid)  # another user's run, umask 077, its number handed on, under hidepid: the previous
    # outputs it set aside, root's, given back, then replaced by the next run's
    unshare -p -f -m --mount-proc sh -c "chmod 777 .; umask 077
        $daemon $trace -e inject=rename:signal=SIGKILL:when=1 $q x.wav
        p=\$(sed -n 's/^pid //p' quenlor2-turn.lock); echo \$((p - 1)) >/proc/sys/kernel/ns_last_pid
        $daemon sleep 9 & mount -t proc -o hidepid=2 proc /proc; $nobody $q x.1.wav; kill \$!"
    prev ;;
three-dead) lock quenlor2-turn.lock; lock quenlor2-turn-1.lock; lock quenlor2-turn-2.lock
    "$q" x.wav ;;
sticky)  # another user's dead turn where this one may not act: named, left to its user
    chmod 1777 .; chown daemon x?.wav; kill_at rename:when=1 "$daemon"; $nobody "$q" x.1.wav
    $daemon "$q" x.1.wav ;;
writing) held "-e inject=link:error=EPERM -e inject=flock:signal=SIGSTOP:when=3" "$q x.wav" \
    "$q x.1.wav" ;;  # a lock being written by a stopped run
upgrade)  # an earlier format's turn (backups shaped as temporaries), killed at three points
    for at in renameat2:when=2 rename:when=2 fsync:when=5; do
        cp x.L xL.wav; cp x.R xR.wav; kill_at $at
        sed -i '/^file /d; /^new /d; /^version /d; /^digest /d; s/\.prev$/.part/' quenlor2-turn.lock
        for b in ./*.prev; do [ -e "$b" ] && mv "$b" "${b%.prev}.part"; done
        "$q" y.wav; outputs
    done ;;
own-file)  # the user's own recording copied where the half-made output was; then the new output
    # saved anew by an editor: each stays, and the previous output is kept, named
    kill_at rename:when=2; rm xL.wav; echo mine >xL.wav; "$q" y.wav | same; outputs; prev
    cp x.L xL.wav; kill_at rename:when=2; echo edited >>xL.wav; "$q" y.wav | same; outputs; prev
    cp x.L xL.wav ;;
others-pair)  # another user's previous pair, in a folder all may write in, at two kill points
    chmod 777 .; for at in rename:when=2 fsync:when=5; do
        cp x.L xL.wav; cp x.R xR.wav; chown daemon xL.wav xR.wav; kill_at $at "$nobody"
        "$q" y.wav; outputs
    done ;;
cut)  # a cut undo, then an intent cut short
    kill_at rename:when=2; printf un >>quenlor2-turn.lock; "$q" y.wav; outputs
    kill_at rename:when=2; sed -i '/^temp /,$d' quenlor2-turn.lock; "$q" y.wav | same; outputs
    prev; cp x.L xL.wav; cp x.R xR.wav ;;
stopped)  # a recovery stopped, then one that keeps failing
    kill_at rename:when=2; held "-e inject=rename:signal=SIGSTOP:when=1" "$q y.wav" "$q x.1.wav"
    kill_at rename:when=2; $trace -e inject=rename:error=EIO "$q" y.wav; "$q" y.wav; outputs ;;
swapped)  # the folder swapped for a link while its dead turn is put right: put right in the
    # folder whose lock was read, and nothing done in the other
    mkdir -p a/s o/s; cp x.wav x?.wav a/s; cp x?.wav o/s; (cd a/s && kill_at rename:when=2)
    held "-e inject=fchdir:signal=SIGSTOP:when=1" "$q a/s/x.wav" "mv a b; ln -s o a"
    for f in b/s/x?.wav o/s/x?.wav; do head -c 4 "$f"; done; echo; ls o/s | tr "\n" " "; echo
    rm -r a b o ;;
esac
rm -f x.L x.R y.wav yL.wav yR.wav
ls | tr '\n' ' '
