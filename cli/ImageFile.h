// The image file of h8sx write and check: read once, from a file or from standard input
// ("-"), as S-records, Intel HEX or binary by its content or --format; S-records strictly
// unless --lenient, every refusal named by file and line (with the text the window would show
// for the same S-record file).
#pragma once

#include <optional>
#include <string>

#include "app/Platform.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"

namespace h8sx::cli {

// An S-record file opened for reading, as write, check and ram-write take it: standard
// input for "-" (binary, where the system tells text from binary), else the named file,
// which must be a file or a pipe.
struct InputFile {
    std::string name;  // as messages name it
    UniqueFile owned;  // none for standard input
    std::FILE* stream = nullptr;
};
// Nothing, with the reason shown, when FILE cannot be read.
std::optional<InputFile> OpenInput(const std::string& file, Platform& platform, Output& out);
// True, with the reason shown, when reading it failed on the way.
bool ReadFailed(const InputFile& in, Output& out);

// Reads o.file into `image` and `load` (load.format says how), as write and check take it:
// kDone, kFileFailed with the reasons shown, or kInterrupted.
int ReadImageFile(const Options& o, Platform& platform, Output& out, FlashImage& image, ImageLoad& load);

// Reads o.file whole into `text` for ram-write and checks it as S-records (unless
// o.lenient): every record well formed with its checksum right, and the S7 record that
// makes the board's program take the load at its end; where the records lie is the
// program's business. kDone, kFileFailed with the reasons shown, or kInterrupted.
int ReadRamFile(const Options& o, Platform& platform, Output& out, std::string& text);

}  // namespace h8sx::cli
