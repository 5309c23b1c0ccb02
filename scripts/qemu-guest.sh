#!/usr/bin/env bash
# Boots a small Linux guest under QEMU with an emulated CD/DVD drive and runs
# one shell script in it as root. The drive-conformance tests use it to run
# the project's programs against the kernel's sr/sg drivers and a drive model
# that someone else wrote.
#
# usage: qemu-guest.sh --bus ide|sata|scsi [--image FILE [--dvd]]
#                      [--iscsi URL]... [--tgt FILE]...
#                      [--file HOST[=GUEST]]... [--module NAME]...
#                      [--mem MIB] [--timeout S] [--keep] -- SCRIPT
#
#   --bus     ide:  ide-cd on the PIIX IDE controller (ata_piix)
#             sata: ide-cd on the ICH9 AHCI controller (ahci)
#             scsi: scsi-cd on virtio-scsi (a different MMC implementation)
#   --image   the medium, always read-only; without it the drive is empty
#   --dvd     pads a sparse copy of the image to a single-layer DVD, which
#             QEMU then reports as DVD-ROM (it picks the profile by size)
#   --iscsi   a SCSI unit served over iSCSI (iscsi://HOST:PORT/IQN/LUN),
#             passed whole to the guest (scsi-generic on virtio-scsi) through
#             QEMU's iSCSI block driver: the guest's kernel talks to the
#             target's own MMC implementation. Each one is a drive, /dev/sr0
#             first, in the order given; no emulated drive is added then.
#   --tgt     a recorder served by Debian's tgt for this run only: tgtd on a
#             free port of 127.0.0.1, FILE as the medium (an empty or missing
#             file is a blank DVD+R, which becomes a DVD-ROM once its track is
#             closed; what is burned lands in FILE). Attached like --iscsi,
#             after those; tgtd is stopped when the run ends.
#   --file    copies a file or folder into the guest (default: same path);
#             ELF programs bring the shared libraries ldd finds
#   --module  loads another module of the guest kernel, with the modules it
#             depends on: isofs or udf, so the guest can mount the disc with
#             the kernel's own reader (mount -t iso9660 /dev/sr0 /mnt; on an
#             image file with several sessions, -o sbsector=LBA picks one)
#   --mem     guest memory (default 512 MiB); the guest's files live in it
#   SCRIPT    a busybox sh script, run as /guest-script in the guest
#
# The script's stdout arrives on this script's stdout byte for byte (on its
# own serial port, so kernel messages never mix in); its stderr and the kernel
# log go to the console, shown on failure.
#
# Exit status: the guest script's own; 77 when the guest cannot be set up on
# this machine (QEMU, busybox or cpio missing, no kernel obtainable; for
# --iscsi and --tgt also QEMU's iSCSI driver, tgt, or root), with the
# reason on stderr; 124 when --timeout ran out; 125 when the guest failed to
# boot or to report.
#
# The kernel: VELLORAN_QEMU_KERNEL (a bzImage) with VELLORAN_QEMU_MODULES (its
# lib/modules/VERSION folder), or else Debian's current linux-image package,
# fetched once with apt-get download (it is never installed) and unpacked into
# the cache: VELLORAN_QEMU_CACHE, else $XDG_CACHE_HOME/velloran-qemu, else
# ~/.cache/velloran-qemu. Delete the cache to move to a newer kernel.
# VELLORAN_QEMU_ACCEL picks the accelerator (default tcg: it works everywhere,
# and a guest this small boots in about three seconds without KVM).

set -uo pipefail

PROG=qemu-guest
fail() { printf '%s: %s\n' "$PROG" "$*" >&2; exit 125; }
unavailable() { printf '%s: unavailable: %s\n' "$PROG" "$*" >&2; exit 77; }

BUS=ide IMAGE='' DVD=0 TIMEOUT=90 KEEP=0 MEM=512 FILES=() EXTRA_MODULES=() ISCSI=() TGT=()
while (($#)); do
  case $1 in
    --bus) BUS=${2:-}; shift 2 || fail "--bus needs a value" ;;
    --image) IMAGE=${2:-}; shift 2 || fail "--image needs a value" ;;
    --dvd) DVD=1; shift ;;
    --file) FILES+=("${2:-}"); shift 2 || fail "--file needs a value" ;;
    --module) EXTRA_MODULES+=("${2:-}"); shift 2 || fail "--module needs a value" ;;
    --timeout) TIMEOUT=${2:-}; shift 2 || fail "--timeout needs a value" ;;
    --iscsi) ISCSI+=("${2:-}"); shift 2 || fail "--iscsi needs a URL" ;;
    --tgt) TGT+=("${2:-}"); shift 2 || fail "--tgt needs a file" ;;
    --mem) MEM=${2:-}; shift 2 || fail "--mem needs a value" ;;
    --keep) KEEP=1; shift ;;
    --) shift; break ;;
    *) fail "unexpected argument '$1'" ;;
  esac
done
(($# == 1)) || fail "one guest script expected after --"
SCRIPT=$1
[[ -r $SCRIPT ]] || fail "cannot read script '$SCRIPT'"
case $BUS in ide|sata|scsi) ;; *) fail "--bus must be ide, sata or scsi" ;; esac
[[ $TIMEOUT =~ ^[0-9]+$ ]] || fail "--timeout wants whole seconds"
[[ $MEM =~ ^[0-9]+$ ]] || fail "--mem wants MiB"
REMOTE=$((${#ISCSI[@]} + ${#TGT[@]}))
if ((REMOTE)); then
  [[ -z $IMAGE ]] || fail "--image does not mix with --iscsi or --tgt"
  BUS=scsi
fi
if [[ -n $IMAGE ]]; then
  [[ -r $IMAGE ]] || fail "cannot read image '$IMAGE'"
elif ((DVD)); then
  fail "--dvd needs --image"
fi

# ------------------------------------------------------------------ tools
QEMU=$(command -v qemu-system-x86_64) || unavailable "qemu-system-x86_64 not found (apt-get install qemu-system-x86)"
BUSYBOX=''
for b in /bin/busybox /usr/bin/busybox; do [[ -x $b ]] && { BUSYBOX=$b; break; }; done
[[ -n $BUSYBOX ]] || unavailable "busybox not found (apt-get install busybox-static)"
ldd "$BUSYBOX" >/dev/null 2>&1 && unavailable "$BUSYBOX is not static (apt-get install busybox-static)"
cpio --version 2>/dev/null | grep -q 'GNU cpio' || unavailable "GNU cpio not found (apt-get install cpio)"
for t in timeout flock xz dpkg-deb; do command -v $t >/dev/null || unavailable "$t not found"; done
if ((REMOTE)); then
  "$QEMU" -drive format=help 2>/dev/null | grep -qw iscsi ||
    unavailable "QEMU has no iSCSI block driver (apt-get install qemu-block-extra)"
fi
if ((${#TGT[@]})); then
  for t in tgtd tgtadm tgtimg; do command -v $t >/dev/null || unavailable "$t not found (apt-get install tgt)"; done
  [[ $(id -u) == 0 ]] || unavailable "tgtd runs as root only"
fi

if [[ -n ${VELLORAN_QEMU_CACHE:-} ]]; then CACHE=$VELLORAN_QEMU_CACHE
elif [[ -n ${XDG_CACHE_HOME:-} ]]; then CACHE=$XDG_CACHE_HOME/velloran-qemu
else CACHE=${HOME:-/tmp}/.cache/velloran-qemu; fi
mkdir -p "$CACHE" || unavailable "cannot create the cache folder $CACHE"

RUN=$(mktemp -d "${TMPDIR:-/tmp}/velloran-qemu.XXXXXX") || fail "mktemp failed"
QPID='' TGTPID='' TGTCTL=''
cleanup() {
  [[ -n $QPID ]] && kill -KILL "$QPID" 2>/dev/null
  declare -F stop_tgt >/dev/null && stop_tgt
  if ((KEEP)); then printf '%s: kept %s\n' "$PROG" "$RUN" >&2; else rm -rf -- "$RUN"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# -------------------------------------------------------------------- tgt
# tgtd ignores SIGTERM: the target goes first, then the daemon by its own
# command; KILL only when that did not end it within a few seconds.
stop_tgt() {
  [[ -n $TGTPID ]] || return 0
  tgtadm -C "$TGTCTL" --lld iscsi --mode target --op delete --force --tid 1 >/dev/null 2>&1
  tgtadm -C "$TGTCTL" --mode system --op delete >/dev/null 2>&1
  local i
  for ((i = 0; i < 50; i++)); do kill -0 "$TGTPID" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$TGTPID" 2>/dev/null
  wait "$TGTPID" 2>/dev/null
  rm -f "/run/tgtd/socket.$TGTCTL" "/run/tgtd/socket.$TGTCTL.lock"
  TGTPID=''
}

# Starts tgtd on a free port (its management socket on a free number too),
# with one target whose LUNs 1, 2, ... are the --tgt files; adds their URLs
# to ISCSI.
start_tgt() {
  local iqn=iqn.2026-12.org.velloran:qemu-guest try port lun f i
  for ((try = 0; try < 8; try++)); do
    port=$((20000 + RANDOM % 30000)) TGTCTL=$((1000 + RANDOM % 30000))
    [[ -e /run/tgtd/socket.$TGTCTL.lock ]] && continue
    if command -v ss >/dev/null && ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then continue; fi
    tgtd -f -C "$TGTCTL" --iscsi "portal=127.0.0.1:$port" >"$RUN/tgtd.log" 2>&1 &
    TGTPID=$!
    for ((i = 0; i < 50; i++)); do
      kill -0 "$TGTPID" 2>/dev/null || break
      tgtadm -C "$TGTCTL" --mode system --op show >/dev/null 2>&1 && break
      sleep 0.1
    done
    if kill -0 "$TGTPID" 2>/dev/null && tgtadm -C "$TGTCTL" --lld iscsi --mode target --op new --tid 1 -T "$iqn" >>"$RUN/tgtd.log" 2>&1; then
      break
    fi
    stop_tgt
  done
  [[ -n $TGTPID ]] || { cat "$RUN/tgtd.log" >&2; fail "tgtd did not start"; }
  lun=1
  for f in "${TGT[@]}"; do
    if [[ ! -s $f ]]; then
      rm -f -- "$f"
      tgtimg --op new --device-type cd --type dvd+r --file "$f" >>"$RUN/tgtd.log" 2>&1 || fail "tgtimg cannot create $f"
    fi
    tgtadm -C "$TGTCTL" --lld iscsi --mode logicalunit --op new --tid 1 --lun $lun -b "$(realpath -- "$f")" \
      --device-type=cd >>"$RUN/tgtd.log" 2>&1 || { cat "$RUN/tgtd.log" >&2; fail "tgt refused $f as a unit"; }
    ISCSI+=("iscsi://127.0.0.1:$port/$iqn/$lun")
    lun=$((lun + 1))
  done
  tgtadm -C "$TGTCTL" --lld iscsi --mode target --op bind --tid 1 -I ALL >>"$RUN/tgtd.log" 2>&1 || fail "tgtadm bind failed"
}

# ----------------------------------------------------------------- kernel
# Only the boot files and the module folders the guest can need are unpacked
# (about 60 MB instead of 400): CD drives on these buses, and the file systems
# a disc carries. KLAYOUT names that choice; a cache unpacked with another
# choice is fetched again (into a folder of its own, so a run still reading
# the old one keeps its files).
KLAYOUT=2
KPARTS=(drivers/scsi drivers/ata drivers/cdrom drivers/virtio lib fs/isofs fs/udf fs/nls)
cache_current() { [[ -e $CACHE/current/.complete ]] && grep -qx "layout $KLAYOUT" "$CACHE/current/.complete"; }
fetch_kernel() { # sets KDIR
  local pkg tmp deb part globs=()
  if cache_current; then KDIR=$(readlink -f "$CACHE/current"); return; fi
  exec 9>"$CACHE/.lock"
  flock 9
  if cache_current; then KDIR=$(readlink -f "$CACHE/current"); flock -u 9; return; fi
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ {print $2; exit}')
  if [[ -z $pkg && $(id -u) == 0 ]]; then
    apt-get update -qq >/dev/null 2>&1
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ {print $2; exit}')
  fi
  [[ -n $pkg ]] || unavailable "no kernel: apt-cache does not know linux-image-amd64 (run apt-get update), and VELLORAN_QEMU_KERNEL is not set"
  tmp=$(mktemp -d "$CACHE/fetch.XXXXXX") || unavailable "mktemp in $CACHE failed"
  if ! (cd "$tmp" && apt-get download "$pkg") >"$tmp/apt.log" 2>&1; then
    cat "$tmp/apt.log" >&2; rm -rf "$tmp"
    unavailable "no kernel: apt-get download $pkg failed"
  fi
  deb=$(ls "$tmp"/*.deb 2>/dev/null | head -n1)
  mkdir -p "$tmp/x"
  for part in "${KPARTS[@]}"; do globs+=("./*lib/modules/*/kernel/$part/*"); done
  if ! dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp/x" --wildcards \
      './boot/vmlinuz-*' './boot/config-*' './*lib/modules/*/modules.builtin' "${globs[@]}"; then
    rm -rf "$tmp"; unavailable "no kernel: unpacking $deb failed"
  fi
  rm -rf "${CACHE:?}/$pkg.$KLAYOUT"
  mv "$tmp/x" "$CACHE/$pkg.$KLAYOUT" && echo "layout $KLAYOUT" >"$CACHE/$pkg.$KLAYOUT/.complete"
  rm -rf "$tmp"
  ln -sfn "$pkg.$KLAYOUT" "$CACHE/current"
  # The folder of an older layout (named after the package alone).
  rm -rf "${CACHE:?}/$pkg"
  flock -u 9
  KDIR=$CACHE/$pkg.$KLAYOUT
}

if [[ -n ${VELLORAN_QEMU_KERNEL:-} ]]; then
  KIMAGE=$VELLORAN_QEMU_KERNEL
  KMODDIR=${VELLORAN_QEMU_MODULES:-}
  [[ -r $KIMAGE ]] || unavailable "cannot read VELLORAN_QEMU_KERNEL=$KIMAGE"
  [[ -d $KMODDIR/kernel ]] || unavailable "VELLORAN_QEMU_MODULES must name the kernel's lib/modules/VERSION folder"
  KCONFIG=${VELLORAN_QEMU_KCONFIG:-}
else
  fetch_kernel
  KIMAGE=$(ls "$KDIR"/boot/vmlinuz-* 2>/dev/null | head -n1)
  KCONFIG=$(ls "$KDIR"/boot/config-* 2>/dev/null | head -n1)
  KMODDIR=$(ls -d "$KDIR"/lib/modules/* "$KDIR"/usr/lib/modules/* 2>/dev/null | head -n1)
  [[ -r $KIMAGE && -d $KMODDIR/kernel ]] || unavailable "the kernel cache $KDIR is incomplete; delete it"
fi

# Under TCG a bzImage spends about five seconds decompressing itself. Debian
# kernels have a PVH entry, so QEMU can boot the uncompressed ELF directly:
# it is unpacked once into the cache.
BOOT=$KIMAGE
if [[ ${VELLORAN_QEMU_PVH:-1} == 1 && -r $KCONFIG ]] && grep -q '^CONFIG_PVH=y' "$KCONFIG"; then
  ELF=$CACHE/vmlinux-$(basename "$KIMAGE")-$(stat -c '%s-%Y' "$KIMAGE")
  if [[ ! -s $ELF ]]; then
    tmp=$(mktemp "$CACHE/.vmlinux.XXXXXX")
    for off in $(LC_ALL=C grep -aboF $'\xfd7zXZ' "$KIMAGE" | cut -d: -f1 | head -n4); do
      tail -c +$((off + 1)) "$KIMAGE" | xz -dc >"$tmp" 2>/dev/null
      if [[ $(head -c4 "$tmp") == $'\x7fELF' ]]; then mv "$tmp" "$ELF"; break; fi
    done
    rm -f "$tmp"
  fi
  [[ -s $ELF ]] && BOOT=$ELF
fi

# ---------------------------------------------------------------- modules
# Each module names its dependencies in its own depends= field (the package
# ships no modules.dep: depmod makes it on installation); they load first.
declare -A SEEN=() KO=()
while read -r f; do
  n=${f##*/}; n=${n%%.ko*}; KO[${n//-/_}]=$f
done < <(find "$KMODDIR/kernel" -name '*.ko*')
ORDER=()
add_module() { # NAME
  local name=${1//-/_} f deps d
  [[ -n ${SEEN[$name]:-} ]] && return 0
  SEEN[$name]=1
  f=${KO[$name]:-}
  if [[ -z $f ]]; then
    grep -Eq "/${name//_/[-_]}\.ko" "$KMODDIR/modules.builtin" 2>/dev/null && return 0
    fail "kernel module $name not found under $KMODDIR"
  fi
  case $f in
    *.xz) deps=$(xz -dc "$f" | tr '\0' '\n' | sed -n 's/^depends=//p' | head -n1) ;;
    *.zst) deps=$(zstd -dcq "$f" | tr '\0' '\n' | sed -n 's/^depends=//p' | head -n1) ;;
    *.gz) deps=$(gzip -dc "$f" | tr '\0' '\n' | sed -n 's/^depends=//p' | head -n1) ;;
    *) deps=$(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | head -n1) ;;
  esac
  for d in ${deps//,/ }; do add_module "$d"; done
  ORDER+=("$f")
}
case $BUS in
  ide) MODULES=(ata_piix sr_mod sg) MACHINE=pc DEVICE=(-device ide-cd,drive=cd0,bus=ide.1,unit=0) ;;
  sata) MODULES=(ahci sr_mod sg) MACHINE=q35 DEVICE=(-device ide-cd,drive=cd0,bus=ide.0) ;;
  scsi) MODULES=(virtio_pci virtio_scsi sr_mod sg) MACHINE=pc
        DEVICE=(-device virtio-scsi-pci,id=scsi0 -device scsi-cd,drive=cd0,bus=scsi0.0) ;;
esac
for m in "${MODULES[@]}" "${EXTRA_MODULES[@]}"; do add_module "$m"; done

# ------------------------------------------------------------- initramfs
ROOT=$RUN/root
mkdir -p "$ROOT"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,root,etc,modules,mnt} || fail "mkdir failed"
chmod 1777 "$ROOT/tmp"
cp "$BUSYBOX" "$ROOT/bin/busybox" || fail "cannot copy busybox"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$ROOT/etc/passwd"
echo $((REMOTE ? REMOTE : 1)) >"$ROOT/etc/drives"
printf 'root:x:0:\ncdrom:x:24:\ndisk:x:6:\n' >"$ROOT/etc/group"
i=0
for f in "${ORDER[@]}"; do
  dst=$ROOT/modules/$(printf '%02d' $i).ko
  case $f in
    *.xz) xz -dc "$f" >"$dst" ;;
    *.zst) zstd -dcq "$f" >"$dst" ;;
    *.gz) gzip -dc "$f" >"$dst" ;;
    *) cp "$f" "$dst" ;;
  esac || fail "cannot unpack $f"
  i=$((i + 1))
done

copy_in() { # HOST GUEST
  local src=$1 dst=$2 lib
  mkdir -p "$ROOT$(dirname -- "$dst")"
  if [[ -f $src ]] && cmp -s -n 4 -- "$src" <(printf '\177ELF'); then
    # Everything in the initramfs lives in guest RAM: programs go in without
    # their debug sections (symbols stay, so stack traces keep their names).
    strip --strip-debug -o "$ROOT$dst" -- "$src" 2>/dev/null || cp -L -- "$src" "$ROOT$dst" || fail "cannot copy $src"
  else
    cp -rL -- "$src" "$ROOT$dst" || fail "cannot copy $src"
    return 0
  fi
  ldd -- "$src" 2>/dev/null | grep -q 'not found' && fail "$src: $(ldd -- "$src" | grep 'not found' | head -n1)"
  while read -r lib; do
    [[ -e $ROOT$lib ]] && continue
    mkdir -p "$ROOT$(dirname -- "$lib")"
    cp -L -- "$lib" "$ROOT$lib" || fail "cannot copy library $lib"
  done < <(ldd -- "$src" 2>/dev/null | grep -o '/[^ ]*' | sort -u)
}
for f in "${FILES[@]}"; do
  if [[ $f == *=* ]]; then copy_in "${f%%=*}" "${f#*=}"; else copy_in "$f" "$(realpath -s -- "$f")"; fi
done
cp -- "$SCRIPT" "$ROOT/guest-script" || fail "cannot copy the script"

cat >"$ROOT/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
ln -s /proc/self/fd /dev/fd
broken() {
  echo "===== guest: $* ====="
  dmesg | tail -n 30
  echo 125 >/dev/ttyS2
  poweroff -f
}
stty -F /dev/ttyS1 raw -echo && stty -F /dev/ttyS2 raw -echo || broken "stty failed"
for m in /modules/*.ko; do insmod "$m" || broken "insmod $m failed"; done
i=0
last=$(($(cat /etc/drives) - 1))
until [ -e /dev/sr$last ] && [ -e /dev/sg$last ]; do
  i=$((i + 1))
  [ $i -le 200 ] || broken "no /dev/sr$last or /dev/sg$last after 20 s"
  usleep 100000
done
echo "===== guest: running the script ====="
cd /root
sh /guest-script </dev/null >/dev/ttyS1 2>/dev/console
rc=$?
echo "$rc" >/dev/ttyS2
echo "===== guest: script exit status $rc ====="
poweroff -f
EOF
chmod 755 "$ROOT/init"
(cd "$ROOT" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$RUN/initrd" || fail "cpio failed"

# ------------------------------------------------------------------ QEMU
DRIVE=if=none,id=cd0,media=cdrom,readonly=on
if ((${#TGT[@]})); then start_tgt; fi
if ((REMOTE)); then
  # One drive per unit, each on its own SCSI id: /dev/sr0 is the first.
  DEVICE=(-device virtio-scsi-pci,id=scsi0)
  DRIVES=()
  for ((i = 0; i < ${#ISCSI[@]}; i++)); do
    DRIVES+=(-drive "if=none,id=cd$i,file=${ISCSI[i]//,/,,}")
    DEVICE+=(-device "scsi-generic,drive=cd$i,bus=scsi0.0,scsi-id=$i")
  done
elif [[ -n $IMAGE ]]; then
  MEDIUM=$(realpath -- "$IMAGE")
  if ((DVD)); then
    # QEMU reports DVD-ROM for media above 360,000 blocks: a sparse copy
    # padded to a single-layer DVD costs no disk space.
    MEDIUM=$RUN/dvd.img
    cp --sparse=always -- "$IMAGE" "$MEDIUM" && truncate -s 4700372992 "$MEDIUM" || fail "cannot make the DVD image"
  fi
  DRIVE+=",format=raw,file=${MEDIUM//,/,,}"
fi
((REMOTE)) || DRIVES=(-drive "$DRIVE")
: >"$RUN/console" >"$RUN/stdout" >"$RUN/status"
timeout -k 2 "$TIMEOUT" "$QEMU" -nodefaults -no-user-config -nographic -monitor none -no-reboot \
  -machine "$MACHINE" -accel "${VELLORAN_QEMU_ACCEL:-tcg}" -cpu max -smp 1 -m "$MEM" \
  -kernel "$BOOT" -initrd "$RUN/initrd" \
  -append "console=ttyS0 panic=-1 8250.nr_uarts=3 quiet loglevel=3 mitigations=off tsc=reliable no_timer_check" \
  -chardev "file,id=c0,path=$RUN/console" -serial chardev:c0 \
  -chardev "file,id=c1,path=$RUN/stdout" -serial chardev:c1 \
  -chardev "file,id=c2,path=$RUN/status" -serial chardev:c2 \
  "${DRIVES[@]}" "${DEVICE[@]}" </dev/null >"$RUN/qemu.log" 2>&1 &
QPID=$!
wait $QPID
QRC=$?
QPID=''

cat -- "$RUN/stdout"
STATUS=$(tr -dc '0-9' <"$RUN/status")
if [[ -n $STATUS && $STATUS != 125 ]]; then exit "$STATUS"; fi
{
  if ((QRC == 124 || QRC == 137)); then echo "$PROG: the guest did not finish within $TIMEOUT s"; else
    echo "$PROG: the guest stopped without reporting a status (QEMU exit $QRC)"; fi
  echo "$PROG: guest console:"
  tr -d '\r' <"$RUN/console" | sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' | tail -n 40
  cat "$RUN/qemu.log"
} >&2
((QRC == 124 || QRC == 137)) && exit 124
exit 125
