#!/usr/bin/env bash
# Checks the real-disk back end against a real Linux kernel: boots Debian's
# kernel in QEMU with a busybox initramfs and a station (AHCI disks on ports 1,
# 2 and 4 of 6; USB storage disks in ports 1 and 3 of each of two USB hubs), and runs
# tests/platform/linux/kernel/kernel_check.cpp there (the listing of ports with
# the empty ones as NULL, INQUIRY, IDENTIFY DEVICE and SMART READ DATA through libata's SAT,
# READ/WRITE DMA EXT, CHECK POWER MODE after STANDBY IMMEDIATE, geometry, the
# volume lock that unmounts a mounted partition (or names the mount a file is
# open on), dismount, delete layout, a job's hold on the disk in AHCI port 2
# keeping the probes of udev's storage rules (ata_id, blkid, traced as libata
# issues them) out of its command sequence while a change event comes, and the
# hold refused with nothing sent while another process flocks that disk, the udev
# monitor's removal and arrival notifications for a USB disk; a USB disk pulled
# through QEMU's monitor, another added that takes its kernel name but not its
# path, and the first put back into its port's entry; handles held across
# that pull, whose writes and layout deletions must not reach the new disk;
# every hub port's node keeping its disk when a USB disk arrives on another root
# port and when hub 1 is emptied; then the command
# layer's 48-bit members at LBAs beyond 2^32 checked against pread, the last LBA,
# the registers of failed commands and the sense they come in, SMART RETURN
# STATUS's registers through ATA pass-through and through SAT with CK_COND (and
# the RECOVERED ERROR sense libata answers it with), 2 MiB transfers
# cut to the kernel's limit, and the USB disk's limit raised to 2 MiB; then a
# USB disk reporting a removable medium added on xHCI port 4, where the
# kernel's SCSI trace of a held job's commands must hold only those, and
# erase-all's volume steps on its mounted partition). Then
# tests/platform/linux/kernel/mapping_check.cpp runs the port mapping on the
# guest's listing: hub 1 emptied and the stick in a root port, then the stick
# out and every hub port (the station's 16 bays) given a disk, then both hubs
# taken off and the stick alone on the root hub, as many ports as the slots of
# a 9-bay station, with and without MappingLock.
#
# Needs: qemu-system-x86 linux-image-amd64 busybox-static udev (Debian packages;
# KERNEL_TEST_INSTALL=1 installs them). KERNEL_TEST_KVM=1 uses KVM.
# Exit status 0 only when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static udev)
if [ "${KERNEL_TEST_INSTALL:-0}" = 1 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" g++ libudev-dev >/dev/null
fi

KERNEL=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1 || true)
[ -n "$KERNEL" ] || { echo "kernel-test: no /boot/vmlinuz-* (install linux-image-amd64)"; exit 2; }
KVER=${KERNEL#/boot/vmlinuz-}
for tool in qemu-system-x86_64 /bin/busybox /lib/systemd/systemd-udevd udevadm; do
  command -v "$tool" >/dev/null || { echo "kernel-test: missing $tool (packages: ${PACKAGES[*]})"; exit 2; }
done
# Reading the kernel image needs root on Debian; so does nothing else here.
[ -r "$KERNEL" ] || { echo "kernel-test: cannot read $KERNEL"; exit 2; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ROOT=$WORK/root
mkdir -p "$ROOT"/{bin,sbin,dev,proc,sys,run,tmp,mnt,etc/udev/rules.d,lib/modules,lib/udev/rules.d}

SERIAL=KXSATA0001
MODEL="KXMP TEST SATA DISK"
# Sparse, beyond 2 TiB so that 48-bit addresses use their fifth byte.
SATA_BYTES=$(((2048 + 64) * 1024 * 1024 * 1024))
USB_BYTES=$((32 * 1024 * 1024))
# The other USB disks each of a size of their own, by which the check tells them apart.
USB3_BYTES=$((36 * 1024 * 1024))
HUB2_BYTES=$((40 * 1024 * 1024))
STICK_BYTES=$((52 * 1024 * 1024))
SPARE_BYTES=$((48 * 1024 * 1024))
OTHER_BYTES=$((64 * 1024 * 1024))
REMOVABLE_BYTES=$((56 * 1024 * 1024))
# The mapping check's disk for bay k (hub 1's ports are bays 1-8, hub 2's 9-16): BAY_MIB + k MiB.
BAY_MIB=8
MOUNT_POINT=/mnt/kx
PORT2_MOUNT_POINT=/mnt/kx2

echo "== building the check"
mkdir -p "$WORK/obj"
# One compiler per source, all at once: the command layer brings most of platform/
# (not its ODBC layer, which the check does not use).
# The mapping check adds the port mapping and the device helpers it reads settings with.
printf '%s\n' tests/platform/linux/kernel/kernel_check.cpp protocol/*.cpp platform/*.cpp platform/linux/*.cpp \
  command/*.cpp tests/platform/linux/kernel/mapping_check.cpp app/PortMapping.cpp \
  device/{Environment,Folders,Format,Settings}.cpp | grep -v '^platform/Odbc\.cpp$' |
  xargs -P "$(nproc)" -I{} sh -c 'g++ -std=c++20 -O1 -Wall -Wextra -I. -c "$1" -o "$2/$(echo "$1" | tr / _).o"' _ {} "$WORK/obj"
# Each check links every object but the other's main.
g++ $(ls "$WORK"/obj/*.o | grep -v _mapping_check) -ludev -ldl -pthread -o "$ROOT/kernel_check"
g++ $(ls "$WORK"/obj/*.o | grep -v _kernel_check) -ludev -ldl -pthread -o "$ROOT/mapping_check"

echo "== building the initramfs ($KVER)"
cp /bin/busybox "$ROOT/bin/busybox"
cp /lib/systemd/systemd-udevd "$ROOT/bin/udevd"
cp "$(command -v udevadm)" "$ROOT/bin/udevadm"
# The storage rules' helpers: without them a probe sends the disk no IDENTIFY.
cp /lib/udev/ata_id /lib/udev/scsi_id "$ROOT/lib/udev/"
# Shared libraries of the dynamic programs, at their own paths.
for lib in $(ldd "$ROOT/kernel_check" "$ROOT/mapping_check" "$ROOT/bin/udevd" "$ROOT/bin/udevadm" "$ROOT/lib/udev/ata_id" \
  "$ROOT/lib/udev/scsi_id" | grep -o '/[^ ]*\.so[^ ]*' | sort -u); do
  mkdir -p "$ROOT$(dirname "$lib")"
  cp -L "$lib" "$ROOT$lib"
done
# 60-block.rules sets the "watch" that turns a close after writing into a change event.
cp /lib/udev/rules.d/50-udev-default.rules /lib/udev/rules.d/60-block.rules \
  /lib/udev/rules.d/60-persistent-storage.rules "$ROOT/lib/udev/rules.d/"
# Modules, in load order, each once.
: >"$ROOT/modules.order"
for m in scsi_mod libata ahci sd_mod sg crc64_rocksoft_generic usbcore xhci_pci usb_storage ext4; do
  modprobe -S "$KVER" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
  cp "$ko" "$ROOT/lib/modules/"
  basename "$ko" >>"$ROOT/modules.order"
done

cat >"$ROOT/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
mount -t tracefs tracefs /sys/kernel/tracing
for m in \$(cat /modules.order); do insmod /lib/modules/\$m 2>/dev/null; done
udevd --daemon
udevadm trigger --action=add
for i in \$(seq 1 60); do
  n=\$(ls /sys/block | grep -c '^sd')
  [ "\$n" -ge 7 ] && break
  sleep 0.5
done
udevadm settle --timeout=30
SATA=""
SATA2=""
for d in /sys/block/sd*; do
  case "\$(readlink -f \$d)" in */ata1/*) SATA=\${d##*/};; */ata2/*) SATA2=\${d##*/};; esac
done
echo "kernel-test: disks \$(ls /sys/block | tr '\n' ' ') sata=\$SATA sata2=\$SATA2"
if [ -n "\$SATA" ]; then
  mke2fs -q /dev/\${SATA}1 && mkdir -p $MOUNT_POINT && mount -t ext4 /dev/\${SATA}1 $MOUNT_POINT
fi
# A partition on AHCI port 2's disk, mounted as a desktop would mount it.
if [ -n "\$SATA2" ]; then
  mke2fs -q /dev/\${SATA2}1 && mkdir -p $PORT2_MOUNT_POINT && mount -t ext4 /dev/\${SATA2}1 $PORT2_MOUNT_POINT
fi
/kernel_check "$SERIAL" "$MODEL" $SATA_BYTES $USB_BYTES $MOUNT_POINT $SPARE_BYTES $PORT2_MOUNT_POINT
echo "kernel-test: check exited \$?"
/mapping_check $BAY_MIB
echo "kernel-test: mapping check exited \$?"
poweroff -f
EOF
chmod +x "$ROOT/init"
(cd "$ROOT" && find . | cpio -o -H newc --quiet | gzip -1) >"$WORK/initrd.gz"

# The SATA disks in AHCI ports 1 and 2 carry one MBR partition from 1 MiB to 33 MiB.
truncate -s $SATA_BYTES "$WORK/sata.img"
truncate -s $USB_BYTES "$WORK/usb1.img"
truncate -s $USB3_BYTES "$WORK/usb3.img"
truncate -s $HUB2_BYTES "$WORK/usb21.img"
truncate -s $((HUB2_BYTES + 4 * 1024 * 1024)) "$WORK/usb23.img"
truncate -s $SPARE_BYTES "$WORK/spare.img"
truncate -s $STICK_BYTES "$WORK/stick.img"
truncate -s $REMOVABLE_BYTES "$WORK/removable.img"
for img in sata2 sata4; do truncate -s $OTHER_BYTES "$WORK/$img.img"; done
python3 - "$WORK/sata.img" "$WORK/sata2.img" <<'PY'
import struct, sys
for image in sys.argv[1:]:
    with open(image, "r+b") as f:
        entry = bytes([0x00, 0, 0, 0, 0x83, 0, 0, 0]) + struct.pack("<II", 2048, 65536)
        f.seek(446); f.write(entry); f.seek(510); f.write(b"\x55\xaa")
PY

# TCG by default: KVM inside a virtual machine (nested) can hang at boot.
ACCEL=(-machine q35,accel=tcg -cpu max)
if [ "${KERNEL_TEST_KVM:-0}" = 1 ]; then ACCEL=(-machine q35,accel=kvm -cpu host); fi

# USB disks as block nodes of their own, which outlive the device pulled from them.
usbDisk() { echo "driver=raw,node-name=$1,file.driver=file,file.filename=$WORK/$1.img"; }
BAYS=()
for k in $(seq 1 16); do
  truncate -s $(((BAY_MIB + k) * 1024 * 1024)) "$WORK/bay$k.img"
  BAYS+=(-blockdev "$(usbDisk bay$k)")
done

# Gives QEMU's human monitor one command and waits for its prompt.
MONITOR=$WORK/monitor.sock
monitor() {
  python3 - "$MONITOR" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(20)
s.connect(sys.argv[1])
def prompt():
    got = b""
    while not got.endswith(b"(qemu) "):
        chunk = s.recv(4096)
        if not chunk:
            break
        got += chunk
    return got
prompt()
s.sendall(sys.argv[2].encode() + b"\n")
reply = [line for line in prompt().decode(errors="replace").splitlines()[1:-1] if line.strip()]
if reply:
    print("\n".join(reply))
PY
}

echo "== booting"
start=$(date +%s)
# AHCI ports 1, 2 and 4 of ich9-ahci's 6 (ide.N is port N+1); hubs in xHCI ports 1
# and 2, each with disks in its ports 1 and 3; the spare disk and the stick (on
# xHCI port 3) are added during the check. The xHCI has 9 root ports of each speed,
# so that with hub 1 empty the stick's root hub lists as many ports as the hubs' 16 bays.
timeout 240 qemu-system-x86_64 "${ACCEL[@]}" -m 768 -smp 2 -nographic -no-reboot \
  -kernel "$KERNEL" -initrd "$WORK/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
  -monitor unix:"$MONITOR",server=on,wait=off \
  -drive if=none,id=sata1,file="$WORK/sata.img",format=raw \
  -device ide-hd,drive=sata1,bus=ide.0,serial=$SERIAL,model="$MODEL" \
  -drive if=none,id=sata2,file="$WORK/sata2.img",format=raw -device ide-hd,drive=sata2,bus=ide.1,serial=KXSATA0002 \
  -drive if=none,id=sata4,file="$WORK/sata4.img",format=raw -device ide-hd,drive=sata4,bus=ide.3,serial=KXSATA0004 \
  -device qemu-xhci,id=xhci,p2=9,p3=9 -device usb-hub,bus=xhci.0,port=1 -device usb-hub,bus=xhci.0,port=2 \
  -blockdev "$(usbDisk usb1)" -blockdev "$(usbDisk usb3)" -blockdev "$(usbDisk spare)" \
  -blockdev "$(usbDisk usb21)" -blockdev "$(usbDisk usb23)" -blockdev "$(usbDisk stick)" \
  -blockdev "$(usbDisk removable)" \
  -device usb-storage,bus=xhci.0,port=1.1,drive=usb1,id=usbdisk1,serial=KXUSB0001 \
  -device usb-storage,bus=xhci.0,port=1.3,drive=usb3,id=usbdisk3,serial=KXUSB0003 \
  -device usb-storage,bus=xhci.0,port=2.1,drive=usb21,id=usbdisk21,serial=KXUSB0021 \
  -device usb-storage,bus=xhci.0,port=2.3,drive=usb23,id=usbdisk23,serial=KXUSB0023 "${BAYS[@]}" \
  </dev/null | tee "$WORK/console.log" | while IFS= read -r line; do
    line=${line%$'\r'}
    case "$line" in
      "KX-MONITOR "*) echo "kernel-test: monitor: ${line#KX-MONITOR }"; monitor "${line#KX-MONITOR }" ;;
      ok*|"not ok"*|KERNEL-CHECK*|MAPPING-CHECK*|kernel-test*) echo "$line" ;;
    esac
  done || true
elapsed=$(( $(date +%s) - start ))
echo "== took ${elapsed}s"
if grep -q '^KERNEL-CHECK PASS' "$WORK/console.log" && grep -q '^MAPPING-CHECK PASS' "$WORK/console.log"; then
  exit 0
fi
echo "kernel-test: FAILED; console tail:"
tail -40 "$WORK/console.log"
exit 1
