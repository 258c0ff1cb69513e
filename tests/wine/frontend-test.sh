#!/usr/bin/env bash
# The real h8sx-writer.exe under wine on a virtual X display, with the virtual board on
# COM1, driven from outside by win32_probe as an operator would drive it:
#   frontend-test.sh SIM PREFIX WRITER.exe PROBE.exe WORKDIR
# 1. VIEW, keys of the monitor window ("small letter" too) and their echo, MON.CLR;
# 2. RAM_WRITE of an S3 file through the file dialog: the exact bytes on the line and the
#    board's answer in the monitor;
# 3. FWRITE of an S1, an S2 and an S3 file through the file dialog: every status text on
#    the way, the bit-rate confirmation at 38400, the board's flash against the file;
# 4. FWRITE to the file dialog, which is cancelled;
# 5. FWRITE against a board that does not answer the device inquiry: the bit-rate matching
#    passes, then the failure;
# 6. a port button and SOUND, saved at once in the settings file beside the program;
# 7. closing the main window ends the program with status 0.
# Every text the status line shows is recorded (win32_probe record). Screenshots are left
# in WORKDIR. Skipped (status 77) without h8sx-sim.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/sim-lib.sh"
. "$here/display-lib.sh"
sim="$1" prefix="$2" writer="$3" probe_exe="$4" work="$5"
require_sim "$sim"
run="$here/../../cmake/wine-run.sh"

rm -rf "$work"
mkdir -p "$work/app"
work="$(cd "$work" && pwd -P)"
cp "$writer" "$work/app/"
printf '113' > "$work/app/vtq1653.par"  # COM1, SOUND ticked

xvfb_pid= writer_pid= recorder_pid=
cleanup() {
  stop_sim
  [ -n "$writer_pid" ] && kill "$writer_pid" 2>/dev/null || true
  # The recording ends by itself with the main window; it is killed only if it does not.
  if [ -n "$recorder_pid" ]; then
    for _ in $(seq 50); do kill -0 "$recorder_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$recorder_pid" 2>/dev/null || true
  fi
  stop_wineserver "$prefix"
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

# The files the operator chooses, and what each must leave behind:
#   NAME.mot     the S-record file;
#   NAME.flash   the board's whole flash after FWRITE: the records' data from address 0,
#                0xFF in the gaps, the last 128-byte block running on into the marker tail
#                the writer puts behind the image (five 0xFF, "QVN060220", 0xFF...);
#   NAME.blocks  how many programming blocks that takes;
#   ram.line     the bytes RAM_WRITE puts on the line, one hex byte a line;
#   ram.answer   the board's answer to them.
python3 - "$work" <<'EOF'
import random, sys
work = sys.argv[1]
rng = random.Random(1622)
tail = b"\xff" * 5 + b"QVN060220" + b"\xff" * 114
width = {0: 2, 1: 2, 2: 3, 3: 4, 7: 4, 8: 3, 9: 2}

def record(kind, address, data=b""):
    body = bytes([width[kind] + len(data) + 1]) + address.to_bytes(width[kind], "big") + data
    return "S%d%s%02X" % (kind, body.hex().upper(), ~sum(body) & 0xFF)

def flash_file(name, kind, end, pieces, eol):
    lines, image = [record(0, 0, name.encode())], bytearray()
    for address, length in pieces:
        data = bytes(rng.randrange(256) for _ in range(length))
        image += b"\xff" * (address - len(image)) + data
        lines += [record(kind, address + i, data[i:i + 16]) for i in range(0, length, 16)]
    lines.append(record(end, 0))
    assert len(image) % 128
    with open(f"{work}/{name}.mot", "w", newline="") as f:
        f.write(eol.join(lines) + eol)
    blocks = -(-len(image) // 128)
    flash = bytearray(b"\xff" * (1 << 20))
    flash[:len(image)] = image
    flash[len(image):blocks * 128] = tail[:blocks * 128 - len(image)]
    with open(f"{work}/{name}.flash", "wb") as f:
        f.write(flash)
    with open(f"{work}/{name}.blocks", "w") as f:
        f.write(f"{blocks}\n")

# 445 bytes, 16 of them a gap: the whole marker reaches the flash.
flash_file("s1", 1, 9, [(0, 200), (216, 229)], "\n")
# 504 bytes, CR LF: the gap spans a whole block of 0xFF; the last block ends in "QVN".
flash_file("s2", 2, 8, [(0, 130), (384, 120)], "\r\n")
# 329 bytes, a gap of one byte.
flash_file("s3", 3, 7, [(0, 100), (101, 228)], "\n")

# RAM_WRITE: the header stays behind, each record goes out ending in CR LF (from CR LF or
# LF alike), the S7 as "S7" CR, and nothing of what follows it.
first, second = bytes(range(0x30, 0x40)), b"\x00\xff\x12\x34\x56"
s3a, s3b = record(3, 0xFF2000, first), record(3, 0xFF2010, second)
with open(f"{work}/ram.mot", "w", newline="") as f:
    f.write(record(0, 0, b"ram") + "\r\n" + s3a + "\r\n" + s3b + "\n" + record(7, 0xFF2000) + "\r\n"
            + record(3, 0xFF2100, b"\x99") + "\r\nnot for the board\r\n")
line = (s3a + "\r\n" + s3b + "\r\n" + "S7\r").encode()
with open(f"{work}/ram.line", "w") as f:
    f.write("".join("%02X\n" % b for b in line))
with open(f"{work}/ram.answer", "w") as f:
    f.write(f"RAM: 2 records, {len(first) + len(second)} bytes ロード完了")
EOF

start_display "$work" 1280x800

# The probe writes text-mode lines (CR LF).
probe() { "$run" "$prefix" "$probe_exe" "$@" | tr -d '\r'; }
fail() { echo "FAILED: $*"; exit 1; }
# shot NAME [FORM]: the screen, or one window of the writer.
shot() {
  local crop=()
  [ -n "${2:-}" ] && crop=(-crop "$(probe rect "$2")")
  import -window root "${crop[@]}" "$work/$1.png" 2>/dev/null || true
}

# The status line, recorded from here on: statuses_since MARK lists the texts shown since
# the recording had MARK lines.
status_log="$work/status.rec"
mark() { wc -l < "$status_log"; }
statuses_since() { tail -n +"$(($1 + 1))" "$status_log"; }
# (grep reads to the end: with pipefail, a reader that stops early fails its writer.)
shown_since() { statuses_since "$1" | grep -xF "$2" > /dev/null; }
# The board's log, likewise.
log_mark() { wc -l < "$1"; }
log_since() { tail -n +"$(($2 + 1))" "$1"; }
flash_writes() { grep -c "event *flash written" "$1" || true; }

# Wine's server keeps the standard error of the first program of the prefix, and reports
# there at length whenever the board's terminal behind COM1 goes away: a file, not the log.
"$run" "$prefix" "$probe_exe" wait-window 0 > /dev/null 2> "$work/wineserver.err" || true
start_sim "$sim" "$prefix" "$work/sim1.log" --erase-ms 100 --flash-out "$work/flash.bin"
(cd "$work/app" && exec "$run" "$prefix" ./h8sx-writer.exe) > "$work/writer.out" 2>&1 &
writer_pid=$!
probe wait-window 60 || fail "the main window did not appear"
"$run" "$prefix" "$probe_exe" record "$(winpath "$work")\\status.rec" < /dev/null > "$work/record.out" 2>&1 &
recorder_pid=$!
until_true 30 test -e "$status_log" || fail "no recording of the status line: $(cat "$work/record.out")"

echo "== VIEW and the monitor keys"
probe click Form1 Button2
probe click Form2 Button1                       # "A": the first byte starts the board's program
probe wait-text Form2 Memo1 20 $'仮想ボード起動\r\nA' || fail "no banner and echo in the monitor"
probe click Form2 CheckBox1                     # "small letter"
probe click Form2 Button2                       # "B", now "b"
probe click Form2 Button41                      # "Enter": CR, answered with CR LF
probe wait-text Form2 Memo1 20 $'\r\nAb\r\n' || fail "small letter or Enter not sent"
shot monitor
probe click Form2 Button42                      # MON.CLR
probe wait-text Form2 Memo1 5 "" >/dev/null
[ -z "$(probe text Form2 Memo1 | tr -d '\r\n')" ] || fail "MON.CLR left text behind"

echo "== RAM_WRITE after VIEW"
smark=$(mark) lmark=$(log_mark "$work/sim1.log")
probe click Form1 Button3
probe open-file 20 "$(winpath "$work/ram.mot")" || fail "RAM_WRITE: the file dialog did not take ram.mot"
probe wait-text Form2 Memo1 20 "$(cat "$work/ram.answer")" || fail "no '$(cat "$work/ram.answer")' in the monitor"
until_true 10 shown_since "$smark" "ファイル転送終了しました" || fail "RAM_WRITE did not end"
[ "$(statuses_since "$smark")" = $'ファイル転送中です\nファイル転送終了しました' ] ||
  fail "RAM_WRITE statuses: $(statuses_since "$smark" | paste -sd '|')"
[ "$(probe text Form1 Label3)" = "ファイル転送終了しました" ] || fail "RAM_WRITE: the status line ends '$(probe text Form1 Label3)'"
log_since "$work/sim1.log" "$lmark" | awk '$2 == "host>board" { print $3 }' > "$work/ram.sent"
diff "$work/ram.line" "$work/ram.sent" > "$work/ram.diff" || fail "RAM_WRITE sent other bytes (< expected, > sent): $(cat "$work/ram.diff")"
log_since "$work/sim1.log" "$lmark" | awk '$2 == "host>board" && ($4 != 38400 || NF > 4) { bad = 1 } END { exit bad }' ||
  fail "RAM_WRITE bytes not at the monitor's 38400 bit/s"
shot monitor-ram Form2

echo "== FWRITE of whole files"
boot_statuses=(ビットレート合わせ 応答ありました1 ビットレート調整終了 応答ありました２ 応答ありました３
  応答ありました4 応答ありました5 応答ありました6 応答ありました7 応答ありました8 応答ありました9
  応答ありました10 内部ＲＯＭ消去中 内部ＲＯＭ消去しました ブートマット選択 書き込みファイル選択)
# fwrite_file NAME KIND: FWRITE of NAME.mot, an S-KIND file.
fwrite_file() {
  local name="$1" kind="$2" smark lmark writes expected blocks
  smark=$(mark) lmark=$(log_mark "$work/sim1.log") writes=$(flash_writes "$work/sim1.log")
  # FWRITE is ignored until the last write's closing reset has run: pressed until taken.
  probe press Form1 Button1 10 || fail "$name: FWRITE not taken"
  until_true 30 shown_since "$smark" "書き込みファイル選択" ||
    fail "$name: FWRITE did not reach the file dialog: $(statuses_since "$smark" | paste -sd '|')"
  probe open-file 20 "$(winpath "$work/$name.mot")" || fail "$name: the file dialog did not take the file"
  until_true 30 shown_since "$smark" "書き込み正常終了" ||
    fail "$name: no 書き込み正常終了: $(statuses_since "$smark" | paste -sd '|')"
  blocks=$(cat "$work/$name.blocks")
  expected=$(printf '%s\n' "${boot_statuses[@]}" ファイル転送中です "S${kind}ファイル解析完了" ファイル転送－＞ＣＰＵボード \
    $(printf 'レスポンスＯＫ %.0s' $(seq "$blocks")) 書き込み正常終了)
  [ "$(statuses_since "$smark")" = "$expected" ] ||
    fail "$name: statuses $(statuses_since "$smark" | paste -sd '|'), not $(paste -sd '|' <<< "$expected")"
  [ "$(probe text Form1 Label3)" = "書き込み正常終了" ] || fail "$name: the status line ends '$(probe text Form1 Label3)'"
  # The board writes its flash file just after it has acknowledged the end of programming.
  until_true 10 test "$(flash_writes "$work/sim1.log")" -gt "$writes" || fail "$name: the board wrote no flash file"
  cmp "$work/flash.bin" "$work/$name.flash" || fail "$name: the board's flash differs from the file"
  # In this write's boot program, the first byte at the new bit rate is the confirmation
  # 0x06, answered with 0x06.
  log_since "$work/sim1.log" "$lmark" | awk '
    /event +boot program started/ { boot = 1 }
    boot && $2 == "host>board" && $4 == 38400 && !sent { sent = $3 " " $4 " " NF; next }
    sent && $2 == "board>host" && !answer { answer = $3 " " $4 " " NF }
    END { exit !(sent == "06 38400 4" && answer == "06 38400 4") }' ||
    fail "$name: no bit-rate confirmation 0x06 at 38400 in the board's log"
  echo "$name: S$kind records, $blocks blocks, the flash as the file"
}
fwrite_file s1 1
fwrite_file s2 2
fwrite_file s3 3
shot fwrite-done Form1

echo "== FWRITE to the file dialog, cancelled"
smark=$(mark) lmark=$(log_mark "$work/sim1.log")
probe press Form1 Button1 10 || fail "FWRITE not taken"
until_true 30 shown_since "$smark" "書き込みファイル選択" ||
  fail "FWRITE did not reach the file dialog: $(statuses_since "$smark" | paste -sd '|')"
probe wait-dialog 20 || fail "no file dialog"
shot dialog
probe cancel-dialog
log_since "$work/sim1.log" "$lmark" | grep "host>board 43" > /dev/null || fail "the board's log has no user MAT selection"
log_since "$work/sim1.log" "$lmark" | grep "board>host E6" > /dev/null || fail "the board's log has no 0xE6"
stop_sim

echo "== FWRITE against a board silent after bit-rate matching"
start_sim "$sim" "$prefix" "$work/sim2.log" --silent-at device-inquiry
no_dialog() { ! probe wait-dialog 0; }
until_true 10 no_dialog || fail "the file dialog is still open"
smark=$(mark)
probe press Form1 Button1 10 || fail "FWRITE not taken"
until_true 30 shown_since "$smark" "ERR1 応答ありません" ||
  fail "no device inquiry failure: $(statuses_since "$smark" | paste -sd '|')"
[ "$(statuses_since "$smark" | paste -sd '|')" = "ビットレート合わせ|応答ありました1|ビットレート調整終了|応答ありました２|ERR1 応答ありません" ] ||
  fail "statuses $(statuses_since "$smark" | paste -sd '|')"
shot silent

echo "== port choice and SOUND"
probe click Form1 RadioButton3
probe click Form1 CheckBox1                     # SOUND off
settings_are() { [ "$(cat "$work/app/vtq1653.par")" = "$1" ]; }
until_true 5 settings_are 303 ||
  fail "settings file holds '$(cat "$work/app/vtq1653.par")', not 303"

echo "== closing"
probe close
status=0
wait "$writer_pid" || status=$?
writer_pid=
[ "$status" = 0 ] || fail "h8sx-writer.exe ended with status $status"
# The recording ends with the main window.
wait "$recorder_pid" || fail "the recording of the status line failed: $(cat "$work/record.out")"
recorder_pid=
echo "front end: all steps passed"
