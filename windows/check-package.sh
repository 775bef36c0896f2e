#!/usr/bin/env bash
# Checks kscam.sys before it ships: what it imports and exports, how its
# sections and headers are set, and what its code contains.
#
# usage: check-package.sh IMAGE UNSTRIPPED MAP [AVX2_SOURCE...]
#   IMAGE       the image that ships (symbol table stripped; may be signed)
#   UNSTRIPPED  the same link with its symbol table, for the checks that need
#               to know which function an address belongs to
#   MAP         the linker map of UNSTRIPPED: which object each range came from
#   AVX2_SOURCE sources compiled for AVX2 (relative to the source tree); only
#               their code may contain AVX instructions
# Every check runs; each failure prints one line saying what is wrong, and the
# script exits non-zero if any check failed.
set -euo pipefail

image=$1 unstripped=$2 map=$3
shift 3
avx2_sources=("$@")
allowed_imports="$(dirname "$0")/allowed-imports.txt"
objdump=x86_64-w64-mingw32-objdump
failures=0
for file in "$image" "$unstripped" "$map" "$allowed_imports"; do
  [ -f "$file" ] || { echo "check-package: $file: no such file" >&2; exit 1; }
done

fail() {
  echo "check-package: $(basename "$image"): $*" >&2
  failures=$((failures + 1))
}

# Little-endian fields of the image file, by file offset.
u16() { od -A n -t u2 --endian=little -j "$2" -N 2 "$1" | tr -d ' '; }
u32() { od -A n -t u4 --endian=little -j "$2" -N 4 "$1" | tr -d ' '; }

# awk has no hexadecimal input: addresses go through this.
awk_hex='function hex(s,   n, i, d) {
  s = tolower(s); gsub(/[ \t:]/, "", s); sub(/^0x/, "", s); n = 0
  for (i = 1; i <= length(s); i++) {
    d = index("0123456789abcdef", substr(s, i, 1)) - 1
    if (d < 0) break
    n = n * 16 + d
  }
  return n
}'

# --- Headers, read from the file itself ------------------------------------
# COFF header at e_lfanew + 4, the PE32+ optional header after it.
pe=$(u32 "$image" 60)
coff=$((pe + 4))
optional=$((pe + 24))
data_directory=$((optional + 112))
directory_size() { u32 "$image" $((data_directory + 8 * $1 + 4)); }

check_native_driver() {
  [ "$(u32 "$image" "$pe")" = 17744 ] || { fail "no PE signature"; return; }  # "PE\0\0"
  [ "$(u16 "$image" "$optional")" = 523 ] || fail "not a PE32+ (x64) image"
  [ "$(u16 "$image" $((optional + 68)))" = 1 ] ||
    fail "subsystem is $(u16 "$image" $((optional + 68))), not native (1): the kernel will not load it"
}

check_relocatable_and_nx() {
  local characteristics dll
  characteristics=$(u16 "$image" $((coff + 18)))
  dll=$(u16 "$image" $((optional + 70)))
  ((characteristics & 0x0001)) && fail "relocations stripped: the kernel loads drivers at any address"
  (($(directory_size 5) > 0)) || fail "no base relocation directory: the image cannot be moved"
  ((dll & 0x0040)) || fail "DYNAMIC_BASE not set in DllCharacteristics (link with --dynamicbase)"
  ((dll & 0x0100)) || fail "NX_COMPAT not set in DllCharacteristics (link with --nxcompat)"
  return 0
}

check_no_tls() {
  (($(directory_size 9) == 0)) || fail "the image has a TLS directory: drivers get no thread-local storage"
  return 0
}

# A section both writable and executable lets a stray write become code; the
# kernel's code-integrity checks refuse such images.
check_write_xor_execute() {
  local count table i header name flags
  count=$(u16 "$image" $((coff + 2)))
  table=$((optional + $(u16 "$image" $((coff + 16)))))
  for ((i = 0; i < count; i++)); do
    header=$((table + 40 * i))
    name=$(dd if="$image" bs=1 skip="$header" count=8 2>/dev/null | tr -d '\0')
    flags=$(u32 "$image" $((header + 36)))
    if ((flags & 0x20000000 && flags & 0x80000000)); then
      fail "section $name is writable and executable"
    elif ((flags & 0x20000000)) && [ "$name" != .text ]; then
      fail "section $name is executable: code outside .text escapes the code checks"
    fi
  done
}

check_symbols_stripped() {
  (($(u32 "$image" $((coff + 8))) == 0 && $(u32 "$image" $((coff + 12))) == 0)) ||
    fail "the symbol table is still in the image (link with -s)"
  return 0
}

# --- Imports and exports -----------------------------------------------------
check_imports() {
  local imports unexpected
  imports=$("$objdump" -p "$image" | awk '
    /^[ \t]*DLL Name:/ { dll = tolower($3); next }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF; next }
    /^$/ { dll = "" }')
  [ -n "$imports" ] || { fail "no imports found"; return; }
  unexpected=$(awk 'NR == FNR { if ($0 !~ /^#/ && NF == 2) allowed[tolower($1) " " $2] = 1; next }
                    !($0 in allowed)' "$allowed_imports" - <<<"$imports")
  while read -r dll function; do
    [ -n "$dll" ] && fail "imports $function from $dll, which $(basename "$allowed_imports") does not allow"
  done <<<"$unexpected"
  echo "$(basename "$image") imports $(wc -l <<<"$imports") functions from $(cut -d' ' -f1 <<<"$imports" | sort -u | paste -sd' ')"
}

# The entry point needs no export; anything else exported is a symbol another
# driver could bind to.
check_exports() {
  local exports
  exports=$("$objdump" -p "$image" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^\t\[/ { print $NF; next }
    names && /^$/ { names = 0 }
    /^Export Address Table -- / { addresses = 1; next }
    addresses && /^\t\[/ { count++; next }
    addresses && /^$/ { addresses = 0 }
    END { print "addresses", count + 0 }')
  local names count
  names=$(grep -v '^addresses ' <<<"$exports" | grep -vx DriverEntry || true)
  count=$(awk '/^addresses / { print $2 }' <<<"$exports")
  [ -z "$names" ] ||
    fail "exports $(wc -l <<<"$names") symbol(s) besides DriverEntry, such as $(head -3 <<<"$names" | paste -sd' ') (link with --exclude-all-symbols)"
  ((count <= 1)) || fail "exports $count addresses (link with --exclude-all-symbols)"
  return 0
}

# --- Code, with the unstripped image's symbols -----------------------------
# The symbol-based checks below read the unstripped link; they hold for the
# shipped image only if both have the same sections with the same bytes.
check_same_layout() {
  local layout_image layout_unstripped
  layout_image=$("$objdump" -h "$image" | awk '/^ *[0-9]+ \./ { print $2, $3, $4, $6 }')
  layout_unstripped=$("$objdump" -h "$unstripped" | awk '/^ *[0-9]+ \./ { print $2, $3, $4, $6 }')
  if [ "$layout_image" != "$layout_unstripped" ]; then
    fail "sections differ from the unstripped link $unstripped"
    return
  fi
  local name size offset
  while read -r name size _ offset; do
    ((16#$offset == 0)) && continue  # uninitialised data has no bytes in the file
    cmp -s -i "$((16#$offset)):$((16#$offset))" -n "$((16#$size))" "$image" "$unstripped" ||
      fail "section $name differs from the unstripped link"
  done <<<"$layout_image"
}

check_entry_point() {
  local entry base driver_entry text text_section
  entry=$(u32 "$image" $((optional + 16)))
  base=$("$objdump" -p "$unstripped" | awk '$1 == "ImageBase" { print $2 }')
  read -r text_section text < <("$objdump" -h "$unstripped" | awk '$2 == ".text" { print $1 + 1, $4 }')
  # Symbol values are offsets into their section (numbered from 1).
  driver_entry=$("$objdump" -t "$unstripped" |
    awk -v section="$text_section" '$NF == "DriverEntry" && $0 ~ ("\\(sec +" section "\\)") { print $(NF-1) }')
  [ -n "$driver_entry" ] || { fail "no DriverEntry in the unstripped link"; return; }
  ((16#$text - 16#$base + 16#${driver_entry#0x} == entry)) || fail "the entry point is not DriverEntry"
}

# The kernel unwinds through driver frames (for exceptions it raises and for
# stack walks). Every instruction that calls or moves the stack pointer must
# lie inside a RUNTIME_FUNCTION range of .pdata; the table must be sorted and
# its ranges disjoint, as the kernel searches it by halving.
check_unwind_data() {
  local report
  report=$( { "$objdump" -p "$unstripped" | awk '/^The Function Table/ { on = 1; next } on && /^$/ { on = 0 }
                                                on && /^ [0-9a-f]+:/ { print "PDATA", $2, $3 }'
              "$objdump" -d --no-show-raw-insn -j .text "$unstripped"; } | awk "$awk_hex"'
    BEGIN { n = 0; i = 0 }
    $1 == "PDATA" {
      begin[n] = hex($2); end[n] = hex($3)
      if (n > 0 && begin[n] < end[n - 1]) print "the function table is not sorted or its ranges overlap at " $2
      n++; next
    }
    /^[0-9a-f]+ <.*>:$/ { function_name = substr($2, 2, length($2) - 3); next }
    /^ +[0-9a-f]+:\t/ {
      split($0, field, "\t"); gsub(/[ :]/, "", field[1])
      mnemonic = field[2]; sub(/ .*/, "", mnemonic)
      if (mnemonic !~ /^(call|push)/ && field[2] !~ /,%rsp$/) next
      address = hex(field[1])
      while (i < n && end[i] <= address) i++
      if (i == n || begin[i] > address) {
        if (!(function_name in reported)) print "no unwind data for " function_name " (" field[2] " at " field[1] ")"
        reported[function_name] = 1
      }
    }')
  while IFS= read -r line; do [ -n "$line" ] && fail "$line"; done <<<"$report"
  return 0
}

# Global objects with constructors never run in a kernel driver (there is no
# C run-time start-up to walk the lists), so the lists must be empty.
check_no_constructor_lists() {
  local sections listed ctor dtor
  sections=$("$objdump" -h "$image" | awk '$2 ~ /^\.(ctors|dtors|init_array|fini_array)/ { print $2 }')
  [ -z "$sections" ] || fail "constructor or destructor sections: $(paste -sd' ' <<<"$sections")"
  listed=$(grep -E '^ \.(ctors|ctor|dtors|dtor|init_array|fini_array)([.$][^ ]*)?( |$)' "$map" || true)
  [ -z "$listed" ] || fail "objects with constructor or destructor lists: $(awk '{ print $NF }' <<<"$listed" | sort -u | paste -sd' ')"
  # The linker brackets the list with two 4-byte -1 markers and a zero
  # terminator (16 bytes); anything between them is a constructor.
  ctor=$("$objdump" -t "$unstripped" | awk '$NF == "__CTOR_LIST__" { print $(NF-1) }')
  dtor=$("$objdump" -t "$unstripped" | awk '$NF == "__DTOR_LIST__" { print $(NF-1) }')
  if [ -n "$ctor" ] && [ -n "$dtor" ] && ((16#${dtor#0x} - 16#${ctor#0x} != 16)); then
    fail "the constructor list is not empty: $(((16#${dtor#0x} - 16#${ctor#0x} - 16) / 8)) constructor(s)"
  fi
  return 0
}

# AVX instructions fault unless the caller saved the extended processor state,
# which only the demosaic dispatcher does around the AVX2 kernels. Their code
# must also be all their own: a shared (COMDAT) function compiled for AVX2
# could be the copy the linker keeps for everybody.
check_avx_confined() {
  local report
  report=$( { AVX2_OBJECTS="${avx2_sources[*]/%/.obj}" awk '
                BEGIN { count = split(ENVIRON["AVX2_OBJECTS"], objects, " ") }
                # An input section line; a long name puts address and size on the next line.
                /^ \.text/ {
                  if (NF == 1) { section = $1; getline; $0 = section " " $0 }
                  for (i = 1; i <= count; i++) {
                    suffix = "/" objects[i]
                    if (substr($NF, length($NF) - length(suffix) + 1) == suffix) print "AVX2", $1, $2, $3
                  }
                }' "$map"
              "$objdump" -d --no-show-raw-insn -j .text "$unstripped"; } | awk "$awk_hex"'
    BEGIN { n = 0 }
    $1 == "AVX2" {
      if ($2 ~ /^\.text\$/) print "the AVX2 code includes shared (COMDAT) section " $2
      first[n] = hex($3); last[n] = hex($3) + hex($4); n++; next
    }
    /^[0-9a-f]+ <.*>:$/ { function_name = substr($2, 2, length($2) - 3); next }
    /^ +[0-9a-f]+:\t/ {
      split($0, field, "\t"); gsub(/[ :]/, "", field[1])
      if (field[2] !~ /^v/ && field[2] !~ /%[yz]mm/) next
      if (field[2] ~ /^ver[rw] /) next
      address = hex(field[1]); inside = 0
      for (i = 0; i < n; i++) if (address >= first[i] && address < last[i]) inside = 1
      if (!inside && !(function_name in reported)) {
        print "AVX instruction outside the AVX2 kernels in " function_name " (" field[2] " at " field[1] ")"
        reported[function_name] = 1
      }
    }')
  while IFS= read -r line; do [ -n "$line" ] && fail "$line"; done <<<"$report"
  return 0
}

# Frames with arrays check a stack cookie on return (-fstack-protector-strong).
# The checks must be there in numbers, a failed check must stop the system
# through the kernel's bug check, and the two frames live while the cookie is
# seeded (DriverEntry and the seeding function) must carry no check: theirs
# would see the cookie change under them and fail.
check_stack_cookies() {
  local report
  report=$("$objdump" -d --no-show-raw-insn -j .text "$unstripped" | awk '
    /^[0-9a-f]+ <.*>:$/ { function_name = substr($2, 2, length($2) - 3); next }
    /call.*<__stack_chk_fail>/ { checked[function_name] = 1 }
    function_name == "__stack_chk_fail" && /call.*KeBugCheckEx/ { bug_check = 1 }
    END {
      for (name in checked) count++
      if (count < 10) print "only " count + 0 " function(s) check a stack cookie: is -fstack-protector-strong set?"
      if (!bug_check) print "__stack_chk_fail does not call KeBugCheckEx"
      if ("DriverEntry" in checked) print "DriverEntry checks the stack cookie it seeds"
      if ("SeedStackCookie" in checked) print "SeedStackCookie checks the stack cookie it seeds"
    }')
  "$objdump" -t "$unstripped" | awk '$NF == "__stack_chk_guard" { found = 1 } END { exit !found }' ||
    fail "no __stack_chk_guard of our own"
  while IFS= read -r line; do [ -n "$line" ] && fail "$line"; done <<<"$report"
  return 0
}

check_native_driver
check_relocatable_and_nx
check_no_tls
check_write_xor_execute
check_symbols_stripped
check_imports
check_exports
check_same_layout
check_entry_point
check_unwind_data
check_no_constructor_lists
check_avx_confined
check_stack_cookies

if ((failures)); then
  echo "check-package: $(basename "$image"): $failures check(s) failed" >&2
  exit 1
fi
echo "check-package: $(basename "$image") passes every package check"
