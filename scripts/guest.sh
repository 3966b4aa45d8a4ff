#!/usr/bin/env bash
# The 32-bit lane: a Debian guest in a full-system emulator (qemu) for machines whose kernel
# runs no 32-bit code. setup.exe and the Windows-side tests are 32-bit programs; in the
# guest, Debian's own kernel runs them through 32-bit Wine, against this very checkout and
# build tree, which the guest sees at their own paths.
#
#   guest.sh run [--share DIR]... [-e NAME=VALUE]... [--] COMMAND [ARGS...]
#       Boots a guest of its own with the checkout (and each DIR) shared at its own path,
#       runs COMMAND there in the same folder, shows its output and returns its exit
#       status. The guest has what the tests have: Wine 32 and 64, Xvfb, xdotool,
#       python3, the fonts and the five locales. For example:
#         bash scripts/guest.sh run -- ctest --test-dir build -R e2e_win32_install_flow
#   guest.sh image    makes the guest image if it is missing, damaged or stale
#   guest.sh start | stop | status --state DIR [--share DIR]...
#       the long-lived guest of a build (DIR: its state), which `exec` boots on demand
#   guest.sh exec --state DIR [--share DIR]... [-e NAME=VALUE]... -- COMMAND [ARGS...]
#       runs COMMAND in that guest with the TOLVANE_* variables of this environment: the
#       launcher of the tests labelled `wine` where they run in the lane
#       (cmake/TolvaneTest.cmake)
#   guest.sh can-run32      whether this machine's kernel runs 32-bit code itself
#
# The image is kept in TOLVANE_LANE_CACHE (/var/cache/tolvane-lane), under a key made of
# everything that goes into it (the package list, this recipe, the Wine settings); a
# changed key, or an image whose checksum no longer holds, is made again. It is only ever
# read: every guest writes to a throw-away layer above it. The first image takes 9 to 20
# minutes on 2 cores (the packages, then Wine's template prefixes made in the guest on the
# software CPU); its packages stay in the cache and make the next one faster.
# Environment: TOLVANE_LANE_CPUS (2) and TOLVANE_LANE_MEMORY (6G) size the guest; TOLVANE_LANE_MIRROR
# names the Debian mirror.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
cache=${TOLVANE_LANE_CACHE:-/var/cache/tolvane-lane}
mirror=${TOLVANE_LANE_MIRROR:-http://deb.debian.org/debian}
suite=bookworm
port_in_guest=7070
say() { echo "guest: $*" >&2; }
die() { echo "guest: $*" >&2; exit 1; }

# A hand-made 93-byte i386 program that calls exit(0) through int 0x80: the kernel, not
# the package list, says whether 32-bit code runs here.
can_run32() {
  local probe
  probe=$(mktemp)
  printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
  chmod +x "$probe"
  local ok=1
  "$probe" 2>/dev/null && ok=0
  rm -f "$probe"
  return $ok
}

# ---------------------------------------------------------------------------------------
# The image: a Debian root made by debootstrap, Debian's kernel with a small initramfs,
# Wine 32 and 64 with the bench's packages, and Wine's template prefixes made in the guest.

guest_packages() {
  bash "$here/install-deps.sh" --bench-packages
  # cmake for ctest: a developer's `guest.sh run -- ctest ...` runs tests in the guest.
  printf '%s\n' linux-image-amd64 initramfs-tools kmod iproute2 udev cmake
}

# PID 1 of the guest: mounts the basics and the share "lane" (the host's state folder of
# this guest), runs the boot script the host wrote there, and powers off.
guest_init() {
  cat <<'EOF'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
hostname lane
for m in virtio_net 9pnet_virtio 9p; do modprobe "$m"; done
mkdir -p /lane
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 lane /lane; then
  sh /lane/boot >/lane/boot.log 2>&1
else
  echo "lane-init: no share named lane" >/dev/console
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
EOF
}

image_key() {
  { echo "$suite $mirror"; guest_packages; declare -f bake_root make_image; guest_init
    cat "$here/wine-fonts.reg"; } | sha256sum | cut -c1-16
}

# The root file system, made on this machine (as root) in $1.
bake_root() {
  local root=$1 debs=$cache/debs
  mkdir -p "$debs"
  say "making the guest's Debian root (debootstrap, $suite)"
  debootstrap --variant=minbase --arch=amd64 --cache-dir="$debs" --include=ca-certificates \
    "$suite" "$root" "$mirror" >"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; die "debootstrap failed"; }
  mounted=("$root/proc" "$root/sys" "$root/dev" "$root/var/cache/apt/archives")
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --bind /dev "$root/dev"
  mount --bind "$debs" "$root/var/cache/apt/archives"
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  # One suite for both architectures: i386 and amd64 packages of the same versions.
  echo "deb [arch=amd64,i386] $mirror $suite main" >"$root/etc/apt/sources.list"
  # The guest boots from virtio disks only: an initramfs of the modules that needs is
  # made in seconds, where Debian's default takes every module.
  mkdir -p "$root/etc/initramfs-tools/conf.d"
  echo MODULES=list >"$root/etc/initramfs-tools/conf.d/lane"
  printf '%s\n' virtio_pci virtio_blk ext4 >"$root/etc/initramfs-tools/modules"
  local pkgs
  mapfile -t pkgs < <(guest_packages)
  say "installing ${#pkgs[*]} packages into the guest"
  chroot "$root" dpkg --add-architecture i386
  chroot "$root" apt-get -qq -o Acquire::Retries=3 update >>"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; die "apt-get update failed in the guest"; }
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq --no-install-recommends \
    -o Dpkg::Options::=--force-confold "${pkgs[@]}" >>"$root.log" 2>&1 ||
    { tail -n 30 "$root.log" >&2; die "installing the guest's packages failed"; }
  sed -i -E 's/^# *((zh_CN|en_US|ja_JP|zh_TW|ko_KR)\.UTF-8 UTF-8)/\1/' "$root/etc/locale.gen"
  chroot "$root" locale-gen >>"$root.log" 2>&1
  guest_init >"$root/sbin/lane-init"
  chmod +x "$root/sbin/lane-init"
  echo "/dev/vda / ext4 rw 0 1" >"$root/etc/fstab"
  rm -f "$root/usr/sbin/policy-rc.d"
  local m
  for m in "${mounted[@]}"; do umount "$m"; done
  mounted=()
  rm -rf "$root"/var/lib/apt/lists/* "$root/var/cache/apt/"*.bin
}

# The image folder $1: root file system, kernel, initramfs; Wine's templates made in it.
make_image() {
  local dir=$1 root=$1/root
  bake_root "$root"
  cp -L "$root/vmlinuz" "$dir/vmlinuz"
  cp -L "$root/initrd.img" "$dir/initrd.img"
  say "writing the guest's disk image"
  # No journal: the guest's disk is thrown away after each run, and made again when damaged.
  mkfs.ext4 -q -F -L lane -O ^has_journal -E lazy_itable_init=1,lazy_journal_init=1 -d "$root" \
    "$dir/disk.raw" 24G
  rm -rf "$root" "$root.log"
  say "making Wine's template prefixes in the guest"
  local state=$dir/bake
  mkdir -p "$state"
  cat >"$state/job" <<EOF
set -e
bash $here/wine-bench.sh templates --root /var/lib/lane/templates
bash $here/wine-bench.sh teardown --root /var/lib/lane/templates
echo done >/lane/baked
EOF
  boot "$dir" "$state" rw job "$here"
  wait_qemu "$state" 3600
  [ -f "$state/baked" ] || { cat "$state/boot.log" >&2 2>/dev/null || true; die "the template prefixes could not be made in the guest"; }
  rm -rf "$state"
  # The disk as qcow2 holds only what is written (about 3 GB of its 24): quick to check.
  qemu-img convert -O qcow2 "$dir/disk.raw" "$dir/disk.img"
  rm -f "$dir/disk.raw"
  (cd "$dir" && cksum disk.img vmlinuz initrd.img >cksum)
}

image_dir() { echo "$cache/image-$(image_key)"; }

# The image folder, made when it is missing, damaged (its checksum) or stale (its key).
ensure_image() {
  local dir
  dir=$(image_dir)
  mkdir -p "$(dirname "$cache")"
  exec 8>"$cache.lock"
  flock 8
  if [ -f "$dir/cksum" ]; then
    if (cd "$dir" && cksum disk.img vmlinuz initrd.img | cmp -s - cksum); then
      flock -u 8
      echo "$dir"
      return
    fi
    say "the guest image in $dir is damaged: making it again"
  fi
  [ "$(id -u)" -eq 0 ] || die "making the guest image needs root (debootstrap, chroot)"
  mkdir -p "$cache"
  local tmp=$dir.part
  umount_below "$tmp"
  rm -rf "$tmp" "$dir"
  mkdir -p "$tmp"
  local t0=$SECONDS ticker
  # A line a minute while it works: the first image takes many minutes.
  (while sleep 60; do say "still making the guest image ($(((SECONDS - t0) / 60)) min)"; done) &
  ticker=$!
  trap 'kill '"$ticker"' 2>/dev/null; umount_below "'"$tmp"'"' EXIT
  make_image "$tmp" >&2
  kill "$ticker" 2>/dev/null || true
  mv "$tmp" "$dir"
  trap - EXIT
  # Images of other keys are stale.
  local old
  for old in "$cache"/image-*; do
    [ "$old" = "$dir" ] || rm -rf "$old"
  done
  say "guest image ready in $((SECONDS - t0)) s: $dir"
  flock -u 8
  echo "$dir"
}

umount_below() {
  local m
  for m in $(awk -v d="$1/" 'index($2, d) == 1 { print $2 }' /proc/mounts | sort -r); do
    umount -l "$m" 2>/dev/null || true
  done
}

# ---------------------------------------------------------------------------------------
# Guests.

# The software CPU (TCG): KVM inside this kind of virtual machine stops the guest's kernel
# as it unpacks itself. QEMU 7.2's TCG applies SMAP where the guest kernel returns to user
# mode, and every Wine process dies in a kernel oops: it is left out.
qemu_cpu() { echo "-accel tcg,thread=multi -cpu max,smap=off"; }

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# boot IMAGE_DIR STATE rw|snapshot agent|job SHARE...: starts qemu in the background.
boot() {
  local dir=$1 state=$2 mode=$3 what=$4
  shift 4
  mkdir -p "$state"
  chmod 700 "$state"
  rm -f "$state/qemu.pid" "$state/boot.log" "$state/console.log" "$state/key"
  cp "$here/guest-agent.py" "$state/guest-agent.py"
  # The agent's port on 127.0.0.1 is open to every user here: a job must bring this key.
  (umask 077 && od -An -tx1 -N32 /dev/urandom | tr -d ' \n' >"$state/key")
  local port shares=() i=0 share
  port=$(free_port)
  {
    echo "ip link set lo up; ip link set eth0 up; ip addr add 10.0.2.15/24 dev eth0"
    for share in "$@"; do
      shares+=(-virtfs "local,path=$share,mount_tag=s$i,security_model=none")
      # Wine loads programs from a share only through the guest's page cache (cache=loose):
      # without it the sections of a larger program arrive damaged and it faults before
      # main. Nothing checks that the host's files are unchanged, which holds here: a guest
      # lives for one run of the tests, started after the build, and each test reads only
      # what was made before it (the fixtures order them); what a job writes is synced to
      # the host when it ends.
      echo "mkdir -p '$share' && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose s$i '$share'"
      i=$((i + 1))
    done
    echo "export HOME=/root LANG=C.UTF-8 TOLVANE_GUEST=1"
    if [ "$what" = agent ]; then
      # The bench in the guest starts its prefixes from the image's templates and keeps
      # them on the guest's own disk (scripts/wine-bench.sh).
      echo "export TOLVANE_GUEST_TEMPLATES=/var/lib/lane/templates TOLVANE_GUEST_SCRATCH=/var/lib/lane/scratch"
      echo "mkdir -p /var/lib/lane/scratch"
      echo "python3 /lane/guest-agent.py serve $port_in_guest /lane/key --idle ${TOLVANE_LANE_IDLE:-1800}"
    else
      echo "sh /lane/job"
    fi
  } >"$state/boot"
  local drive="file=$dir/disk.raw,format=raw,if=virtio,cache=unsafe"
  [ "$mode" = rw ] || drive="file=$dir/disk.img,format=qcow2,if=virtio,cache=unsafe,snapshot=on"
  # shellcheck disable=SC2046
  qemu-system-x86_64 $(qemu_cpu) -machine pc -smp "${TOLVANE_LANE_CPUS:-2}" -m "${TOLVANE_LANE_MEMORY:-6G}" \
    -nodefaults -display none -no-reboot -serial "file:$state/console.log" \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 init=/sbin/lane-init quiet panic=-1 rootflags=noinit_itable" \
    -drive "$drive" \
    -virtfs "local,path=$state,mount_tag=lane,security_model=none" "${shares[@]}" \
    -netdev "user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:$port-:$port_in_guest" \
    -device virtio-net-pci,netdev=net \
    -daemonize -pidfile "$state/qemu.pid"
  echo "$port" >"$state/port"
}

qemu_running() { [ -f "$1/qemu.pid" ] && kill -0 "$(cat "$1/qemu.pid")" 2>/dev/null; }

wait_qemu() {
  local state=$1 limit=$2 t0=$SECONDS
  while qemu_running "$state"; do
    [ $((SECONDS - t0)) -lt "$limit" ] || { kill "$(cat "$state/qemu.pid")"; die "the guest did not end within $limit s"; }
    sleep 2
  done
}

stop_guest() {
  local state=$1
  if qemu_running "$state"; then
    kill "$(cat "$state/qemu.pid")" 2>/dev/null || true
    local _
    for _ in $(seq 50); do qemu_running "$state" || break; sleep 0.1; done
  fi
  rm -f "$state/qemu.pid" "$state/port"
}

# The guest of STATE, booted when it is not running; its port is printed.
ensure_guest() {
  local state=$1
  shift
  mkdir -p "$state"
  exec 9>"$state/lock"
  flock 9
  if ! qemu_running "$state" || ! python3 "$here/guest-agent.py" ping "$(cat "$state/port")" "$state/key" >/dev/null 2>&1; then
    stop_guest "$state"
    local dir
    dir=$(ensure_image)
    boot "$dir" "$state" snapshot agent "$@"
    if ! python3 "$here/guest-agent.py" ping "$(cat "$state/port")" "$state/key" --wait 300; then
      tail -n 30 "$state/console.log" >&2 2>/dev/null || true
      stop_guest "$state"
      die "the guest did not answer (console: $state/console.log)"
    fi
  fi
  flock -u 9
  cat "$state/port"
}

# The shares of a guest: the checkout and the named folders, each once.
shares_for() {
  local list=("$top") d s keep
  for d in "$@"; do
    d=$(cd "$d" && pwd)
    keep=1
    for s in "${list[@]}"; do
      case "$d/" in "$s"/*) keep=0 ;; esac
    done
    [ "$keep" = 0 ] || list+=("$d")
  done
  printf '%s\n' "${list[@]}"
}

forwarded_env() {
  local name
  for name in $(compgen -e); do
    case "$name" in TOLVANE_LANE_*|TOLVANE_GUEST*) ;; TOLVANE_*|WINEDEBUG) printf '%s\n' -e "$name=${!name}" ;; esac
  done
}

cmd=${1:-}
shift || true
state="" share_args=() env_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --state) state=$2; shift 2 ;;
    --share) mkdir -p "$2"; share_args+=("$2"); shift 2 ;;
    -e) env_args+=(-e "$2"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done

case "$cmd" in
  can-run32) can_run32 ;;
  image) ensure_image >/dev/null ;;
  start)
    [ -n "$state" ] || die "start needs --state"
    mapfile -t shares < <(shares_for "${share_args[@]}")
    ensure_guest "$state" "${shares[@]}" >/dev/null ;;
  stop)
    [ -n "$state" ] || die "stop needs --state"
    stop_guest "$state" ;;
  status)
    [ -n "$state" ] || die "status needs --state"
    qemu_running "$state" ;;
  exec)
    [ -n "$state" ] || die "exec needs --state"
    [ $# -gt 0 ] || die "exec needs a command"
    # In the guest itself (a developer's ctest there) the command runs as it is.
    [ -z "${TOLVANE_GUEST:-}" ] || exec "$@"
    mapfile -t shares < <(shares_for "${share_args[@]}")
    port=$(ensure_guest "$state" "${shares[@]}")
    mapfile -t fwd < <(forwarded_env)
    exec python3 "$here/guest-agent.py" call "$port" "$state/key" "${fwd[@]}" "${env_args[@]}" -C "$PWD" -- "$@" ;;
  run)
    [ $# -gt 0 ] || die "run needs a command"
    mapfile -t shares < <(shares_for "${share_args[@]}")
    state=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-guest.XXXXXX")
    trap 'stop_guest "$state"; rm -rf "$state"' EXIT
    port=$(ensure_guest "$state" "${shares[@]}")
    mapfile -t fwd < <(forwarded_env)
    rc=0
    python3 "$here/guest-agent.py" call "$port" "$state/key" "${fwd[@]}" "${env_args[@]}" -C "$PWD" -- "$@" || rc=$?
    exit $rc ;;
  *) sed -n '2,33p' "$0" >&2; exit 2 ;;
esac
