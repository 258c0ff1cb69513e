// LoadImage: the operator chooses an S-record file and it is read into the flash image.
#include <cstdio>
#include <optional>

#include "app/TForm1.h"
#include "app/Texts.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"

namespace h8sx {

bool TForm1::LoadImage(FlashImage& image) {
    ShowStatus(text::kChooseFile);
    const std::optional<std::string> path = toolkit_.RunOpenDialog();
    if (!path) return false;
    SetProgressPosition(0);
    ShowStatus(text::kTransferring);
    // Binary: the reader itself takes CR LF and LF alike, on every platform.
    const UniqueFile file(platform_.OpenFile(*path, "rb"));
    if (!file) return false;

    FileSource source(file.get());
    const ImageLoad load = ReadSRecords(source, image, [this] { toolkit_.ProcessMessages(); });
    // The kind of file on success; on a fault the line to look at, and nothing is programmed.
    ShowStatus(ImageStatusText(load));
    return load.Loaded();
}

}  // namespace h8sx
