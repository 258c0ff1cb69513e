// The board's own program on the port, as every client meets it: its restart, the text it
// sends, and the RAM write that streams an S-record file to it.
#pragma once

#include <string>

namespace h8sx {

class ComLink;
class ReceiveText;
class ByteSource;

// RTS set, DTR held low for two ticks, then released: the board restarts into its own
// program.
void RestartOwnProgram(ComLink& link);

// Everything the board has sent so far, decoded for display (UTF-8).
std::string ReadReceived(ComLink& link, ReceiveText& decoder);

// Streams the S-record file `file` to the board's own program as text: the header is left
// out, every line goes out ending in CR LF, and the S7 end record is cut to "S7" and CR,
// which is what makes the board's program take the load. Messages are pumped after every
// piece sent; a stop asked for through the pump ends the stream there. False when the
// stream was stopped.
bool SendRamWrite(ComLink& link, ByteSource& file);

}  // namespace h8sx
