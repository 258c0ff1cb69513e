// The Intel HEX reader of h8sx: ":" records of data (00), the end (01), extended segment
// (02) and extended linear (04) addresses; the start addresses (03, 05) are read, checked
// and passed over, as this board starts at address 0.
//
// It reads as strictly as h8sx reads S-records, to the end of the file: every record by its
// byte count, its checksum and its line end (LF, CR LF or CR), hex digits in either case,
// one record a line with no blank around it, data records that ascend without overlapping
// and never run past their 64 KiB segment, the first data at address 0, an end record with
// nothing but blank lines and a final Ctrl-Z behind it. Gaps are filled with 0xFF and the
// tail is written behind the image, so that the same data make the same image as their
// S-record file.
#pragma once

#include "image/FlashImage.h"
#include "image/ImageLoad.h"

namespace h8sx {

// Reads `in` into `image` (a fresh one). A refusal is the first one found, with its line; a
// wrong checksum is StrictFault::Checksum, the reading goes on to name every such line, and
// with `checksums` false such records load as they read. Unless Loaded(), the image must
// not be programmed.
ImageLoad ReadIntelHex(ByteSource& in, FlashImage& image, bool checksums = true);

}  // namespace h8sx
