# A throw-away OpenSSH server on 127.0.0.1, so that tests can send GNU parallel jobs over a real
# ssh connection without any remote machine. Source it; sshd_start DIR sets SSHD_LOGIN (one
# --sshlogin entry); sshd_stop ends the server (safe twice and from an EXIT trap).

# sshd_start DIR: keys, configs and logs go in DIR (an existing, empty folder, path without spaces)
sshd_start() {
    local dir user port try i
    dir=$(realpath -e -- "$1") || return 1
    user=$(id -un)
    SSHD_DIR=$dir SSHD_PID='' SSHD_LOGIN=''
    ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" &&
        ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key" || return 1
    cp "$dir/client_key.pub" "$dir/authorized_keys"
    # the server's key pinned under an alias: no prompt, no warning, whatever the port
    printf 'sshd-loopback %s\n' "$(cut -d' ' -f1-2 "$dir/host_key.pub")" >"$dir/known_hosts"
    # StrictModes no: /tmp and its subfolders may be group/world writable
    cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
HostKey $dir/host_key
PidFile $dir/sshd.pid
AuthorizedKeysFile $dir/authorized_keys
AllowUsers $user
PasswordAuthentication no
UsePAM no
StrictModes no
EOF
    # privilege separation directory, only checked when run as root
    [[ $(id -u) != 0 || -d /run/sshd ]] || mkdir -m 0755 /run/sshd || return 1
    for ((try = 0; try < 5; try++)); do
        port=$((20000 + RANDOM % 40000))
        # -F: neither ~/.ssh/config nor /etc/ssh/ssh_config get a say
        cat >"$dir/ssh_config" <<EOF
Host sshd-loopback
HostName 127.0.0.1
Port $port
User $user
IdentityFile $dir/client_key
IdentitiesOnly yes
UserKnownHostsFile $dir/known_hosts
HostKeyAlias sshd-loopback
BatchMode yes
ConnectTimeout 5
EOF
        chmod 600 "$dir/ssh_config" # ssh refuses a config that others may write (umask 002)
        # -D and our own child: a port already taken makes it exit, and we can reap it
        /usr/sbin/sshd -D -f "$dir/sshd_config" -p "$port" -E "$dir/sshd.log" </dev/null >/dev/null 2>&1 &
        SSHD_PID=$!
        for ((i = 0; i < 50; i++)); do
            kill -0 "$SSHD_PID" 2>/dev/null || break
            if [[ -s $dir/sshd.pid ]] && ssh -F "$dir/ssh_config" sshd-loopback true </dev/null 2>/dev/null; then
                SSHD_LOGIN="ssh -F $dir/ssh_config sshd-loopback"
                return 0
            fi
            sleep 0.1
        done
        sshd_stop
    done
    printf 'sshd_start: no sshd listening on 127.0.0.1 (see %s)\n' "$dir/sshd.log" >&2
    return 1
}

sshd_stop() {
    [[ -n ${SSHD_DIR-} ]] || return 0
    local pid i
    pid=$(cat "$SSHD_DIR/sshd.pid" 2>/dev/null) || pid=${SSHD_PID-}
    if [[ -n $pid ]]; then
        # sessions just closed may still be ending: let the server reap them, then end the rest
        for ((i = 0; i < 50; i++)); do pgrep -P "$pid" >/dev/null || break; sleep 0.1; done
        # wait reaps it when it is our child, else returns at once; || : for callers under set -e
        { pkill -P "$pid"; kill "$pid"; wait "$pid"; } 2>/dev/null || :
        for ((i = 0; i < 50; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -f "$SSHD_DIR/sshd.pid"
    SSHD_PID='' SSHD_LOGIN=''
}
