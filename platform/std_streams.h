// Standard output as a byte stream: where the system translates line ends on standard output,
// that is switched off, so that bytes written (pcap data, CR LF text) arrive unchanged.
#pragma once

namespace platform {

void SetStdoutBinary();
// From now on whatever is written to standard output goes to standard error (a program whose
// standard output belongs to another program's protocol).
void StdoutToStderr();

}  // namespace platform
