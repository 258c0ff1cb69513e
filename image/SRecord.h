// The S-record reader behind LoadImage and h8sx: Motorola S-record text in, FlashImage out.
//
// The reader takes the file character by character, as a stream, record by record: each
// record by its byte count (header, data, count and termination records alike), then its
// checksum and its line end. Lines may end in LF, CR LF or CR alone; blank lines and
// lower-case hex digits read as well. It fills address gaps with 0xFF, places the first data
// record at offset 0 whatever its address, and writes the 128-byte tail behind the image.
//
// A file ends with its termination record (S7, S8, S9), or, as some tools write it, with a
// count record (S5, S6) that counts its data records. Damaged input stops the reader with a
// fault and the line the fault lies on; nothing is ever written outside the image.
//
// Two readings share this code. The windows' reading stops at the termination record's type
// and loads what a person could have meant (records with a wrong checksum, of mixed types, a
// file linked above address 0). h8sx reads strictly by default: it refuses in addition what
// only a damaged or foreign file holds (StrictFault), and reads on to the end of the file.
#pragma once

#include <functional>
#include <string>

#include "image/FlashImage.h"
#include "image/ImageLoad.h"

namespace h8sx {

// Reads records into `image` (a fresh one) until the end of the file. `eachRecord` runs
// after every data or count record, so that a long file keeps the windows live. Unless
// Loaded(), the image holds whatever was placed before the fault and must not be programmed.
ImageLoad ReadSRecords(ByteSource& in, FlashImage& image, const std::function<void()>& eachRecord = {},
                       ReadOptions options = {});

// The status line's text for the windows' outcome: "S1ファイル解析完了" and its kin on
// success, a short fault text naming the line otherwise.
std::string ImageStatusText(const ImageLoad& load);

}  // namespace h8sx
