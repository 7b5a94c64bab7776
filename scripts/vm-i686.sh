#!/bin/sh
# Runs a shell command in a small Debian machine whose kernel runs 32-bit programs,
# with 32-bit Wine: for hosts whose own kernel does not (ia32_emulation off), where
# the i686 Windows builds cannot run under Wine. qemu-system-x86_64 emulates the
# machine in software (no KVM needed). Its root is a Debian bookworm tree made by
# debootstrap, and the folders named by MKX_VM_MOUNTS (default: this work tree) are
# shared at the same paths, so build folders and test scripts work as on the host.
# The guest's /tmp is its own memory. Prints the command's output and exits with
# its status (2 when the machine does not finish).
#   scripts/vm-i686.sh DIR 'COMMAND'
# DIR keeps the machine (root tree, kernel, boot image), made when missing or when
# its recipe changed. Runs as root (debootstrap, chroot; through sudo otherwise),
# and needs about 3 GB of disk. The CPU is QEMU's plain qemu64: with -cpu max, the
# guest kernel of Debian 12 faults in 32-bit Wine's return from a signal.
set -eu
[ "$(id -u)" -eq 0 ] || exec sudo -E "$0" "$@"
mkdir -p "$1"
dir=$(cd "$1" && pwd) command=$2
cd "$(dirname "$0")/.."
here=$(pwd)
mounts=${MKX_VM_MOUNTS:-$here}
guest_packages="wine wine32:i386 wine64 cmake make python3 python3-gi gir1.2-libmsi-1.0 python3-olefile msitools wixl util-linux bsdutils bsdextrautils procps"
# The modules that share folders over 9p, each after those it needs.
modules="drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci fs/netfs/netfs fs/fscache/fscache net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p"

for path in $mounts; do
  case $path in /*) ;; *) echo "vm-i686: $path is not an absolute path"; exit 2 ;; esac
  case $path in *,*) echo "vm-i686: $path holds a comma"; exit 2 ;; esac
done
scripts/install-packages.sh qemu-system-x86 debootstrap busybox-static cpio kmod
stamp=$(cat scripts/vm-i686.sh scripts/vm/init | cksum)

if [ "$(cat "$dir/ready" 2>/dev/null)" != "$stamp" ]; then
  echo "vm-i686: making the machine in $dir"
  # An earlier attempt killed while it worked in the tree may have left the host's
  # /proc and /dev mounted there: never delete through them.
  umount -l "$dir/root/proc" "$dir/root/dev" 2>/dev/null || true
  rm -rf --one-file-system "$dir/root" "$dir/kernel" "$dir/initrd" "$dir/ready"
  debootstrap --variant=minbase bookworm "$dir/root" http://deb.debian.org/debian >"$dir/debootstrap.log" 2>&1 ||
    { tail -n 20 "$dir/debootstrap.log"; exit 2; }
  trap 'umount -l "$dir/root/proc" "$dir/root/dev" 2>/dev/null || true' EXIT
  trap 'exit 130' INT TERM HUP
  mount -t proc proc "$dir/root/proc"
  mount --bind /dev "$dir/root/dev"
  # The packages the tests need, and Debian's kernel (32-bit programs on), fetched
  # with the machine's own package lists.
  chroot "$dir/root" sh -c "dpkg --add-architecture i386 && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $guest_packages &&
    kernel=\$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \\(linux-image-[0-9].*\\)\$/\\1/p' | head -n 1) &&
    mkdir -p /var/tmp/kernel && cd /var/tmp/kernel && apt-get download \$kernel" \
    >"$dir/packages.log" 2>&1 || { tail -n 20 "$dir/packages.log"; exit 2; }
  umount "$dir/root/proc" "$dir/root/dev"
  trap - EXIT INT TERM HUP
  mkdir -p "$dir/kernel"
  dpkg -x "$dir"/root/var/tmp/kernel/linux-image-*.deb "$dir/kernel"
  rm -rf "$dir/root/var/tmp/kernel"
  # The boot image: static busybox, the virtio and 9p modules, the init script.
  mkdir -p "$dir/initrd/bin" "$dir/initrd/lib" "$dir/initrd/proc" "$dir/initrd/sys" "$dir/initrd/dev" "$dir/initrd/newroot"
  cp /bin/busybox "$dir/initrd/bin/busybox"
  cp scripts/vm/init "$dir/initrd/init"
  chmod 755 "$dir/initrd/init"
  for m in $modules; do
    cp "$dir"/kernel/lib/modules/*/kernel/$m.ko "$dir/initrd/lib/"
    basename "$m" >>"$dir/initrd/lib/order"  # init loads them in this order
  done
  (cd "$dir/initrd" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$dir/initrd.gz")
  printf '%s\n' "$stamp" >"$dir/ready"
fi

rm -rf "$dir/job"
mkdir -p "$dir/job"
printf 'export HOME=/root TMPDIR=/tmp LC_ALL=C.UTF-8\ncd %s\n%s\n' "$here" "$command" >"$dir/job/cmd.sh"
set -- -machine q35 -cpu qemu64 -smp "$(nproc 2>/dev/null || echo 2)" -m 6G -accel tcg,thread=multi \
  -nographic -no-reboot -kernel "$(ls "$dir"/kernel/boot/vmlinuz-* | head -n 1)" -initrd "$dir/initrd.gz" \
  -virtfs "local,path=$dir/root,mount_tag=root,security_model=none,multidevs=remap" \
  -virtfs "local,path=$dir/job,mount_tag=job,security_model=none,multidevs=remap"
i=0
for path in $mounts; do
  set -- "$@" -virtfs "local,path=$path,mount_tag=m$i,security_model=none,multidevs=remap"
  i=$((i + 1))
done
timeout 3600 qemu-system-x86_64 "$@" -append "console=ttyS0 quiet panic=-1 mkxmounts=$(echo $mounts | tr ' ' ',')" \
  >"$dir/console.log" 2>&1 || true
cat "$dir/job/out" 2>/dev/null || true
[ -f "$dir/job/rc" ] || { echo "vm-i686: the machine did not finish (console: $dir/console.log)"; tail -n 20 "$dir/console.log"; exit 2; }
exit "$(cat "$dir/job/rc")"
