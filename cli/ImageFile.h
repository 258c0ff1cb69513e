// The S-record file of h8sx write and check: read once, from a file or from standard input
// ("-"), strictly unless --lenient, every refusal named by file and line with the text the
// window would show for the same file.
#pragma once

#include <string>

#include "app/Platform.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"

namespace h8sx::cli {

// The file as messages name it: "standard input" for "-".
std::string FileName(const std::string& file);

// Reads o.file into `image` and `load`, as write and check take it: kDone, kFileFailed with
// the reasons shown, or kInterrupted.
int ReadImageFile(const Options& o, Platform& platform, Output& out, FlashImage& image, ImageLoad& load);

}  // namespace h8sx::cli
