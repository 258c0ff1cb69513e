#include "app/TForm1.h"

namespace h8sx {

void TForm1::Button3Click() { ResetForMonitor(); }

}  // namespace h8sx
