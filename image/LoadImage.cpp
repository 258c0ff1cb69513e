#include "app/TForm1.h"
#include "image/FlashImage.h"

namespace h8sx {

bool TForm1::LoadImage(FlashImage&) { return false; }

}  // namespace h8sx
