#include "platform/console_out.h"

namespace platform {

// A terminal here takes UTF-8 as it is.
void WriteText(std::FILE* stream, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stream); }

}  // namespace platform
