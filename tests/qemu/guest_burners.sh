# Burners other people wrote, as the served-recorder tests run them in the
# QEMU guest: each function drives one program through one step on one
# drive, the way its own documentation says to. Sourced by busybox sh.
#
# MEDIUM names the disc (as `velloran recorder insert` does): a user knows
# what they put in, and cdrskin and dvd+rw-format want to be told about
# overwritable DVD+RW.
#
#   burn BURNER DEV SRC        first session (SRC at the root)
#   append BURNER DEV SRC      a further session with SRC as /s2
#   blank BURNER DEV           erase a rewritable disc (formats a DVD+RW)
#   reload DEV                 open and close the tray, so the kernel reads
#                              the disc anew (it keeps the size it saw when
#                              the disc was blank until the medium changes)
#
# growisofs and genisoimage -M read the previous session through the block
# device, so the tray is reloaded before they do.

PROBE=/opt/velloran/bin/velloran-drive-probe
export MKISOFS=/usr/bin/genisoimage

reload() { # DEV: /dev/srN is target N of the guest's one SCSI bus
  VELLORAN_PROBE_DRIVE=0:${1#/dev/sr}:0 $PROBE eject >/dev/null
}

# The ISO image of a session made by genisoimage: the first, or the next
# one after what the disc holds (-C from the burner's -msinfo, -M the disc).
image() { # OUT SRC [MSINFO DEV]
  if [ -n "$3" ]; then
    genisoimage -quiet -r -J -C "$3" -M "$4" -graft-points -o "$1" "s2/=$2"
  else
    genisoimage -quiet -r -J -o "$1" "$2"
  fi
}

is_plus_rw() { [ "$MEDIUM" = dvd+rw ]; }

blank() { # BURNER DEV
  case $1 in
    xorriso) xorriso -outdev "$2" -blank as_needed ;;
    cdrskin) cdrskin dev="$2" blank=as_needed ;;
    wodim) wodim dev="$2" blank=fast ;;
    growisofs)
      # A DVD+RW is blanked by formatting it anew; a DVD-RW fully, so that
      # it takes incremental sessions again.
      if is_plus_rw; then dvd+rw-format -force "$2"; else dvd+rw-format -blank=full "$2"; fi ;;
    velloran) /opt/velloran/bin/velloran erase --drive "0:${2#/dev/sr}:0" ;;
  esac
}

burn() { # BURNER DEV SRC
  case $1 in
    xorriso) xorriso -outdev "$2" -joliet on -map "$3" / -commit ;;
    cdrskin)
      image /tmp/first.iso "$3" || return
      if is_plus_rw; then
        cdrskin -v dev="$2" blank=as_needed --grow_overwriteable_iso -multi /tmp/first.iso
      else
        cdrskin -v dev="$2" -tao -multi /tmp/first.iso
      fi ;;
    wodim) image /tmp/first.iso "$3" && wodim -v dev="$2" -tao -multi -data /tmp/first.iso ;;
    growisofs) growisofs -Z "$2" -R -J "$3" ;;
    velloran) /opt/velloran/bin/velloran burn --drive "0:${2#/dev/sr}:0" "$3" ;;
  esac
}

append() { # BURNER DEV SRC
  case $1 in
    xorriso) xorriso -dev "$2" -joliet on -map "$3" /s2 -commit ;;
    cdrskin)
      grow=
      is_plus_rw && grow=--grow_overwriteable_iso
      ms=$(cdrskin dev="$2" $grow -msinfo) || return
      reload "$2"
      image /tmp/next.iso "$3" "$ms" "$2" || return
      if [ -n "$grow" ]; then
        cdrskin -v dev="$2" $grow -multi /tmp/next.iso
      else
        cdrskin -v dev="$2" -tao -multi /tmp/next.iso
      fi ;;
    wodim)
      ms=$(wodim dev="$2" -msinfo) || return
      reload "$2"
      image /tmp/next.iso "$3" "$ms" "$2" && wodim -v dev="$2" -tao -multi -data /tmp/next.iso ;;
    growisofs) reload "$2" && growisofs -M "$2" -R -J -graft-points "s2/=$3" ;;
    # An append keeps the disc's files without being asked to.
    velloran) /opt/velloran/bin/velloran burn --drive "0:${2#/dev/sr}:0" "s2=$3" ;;
  esac
}
