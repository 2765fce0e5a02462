// The CLIPBOARD selection of an X display.
#include "clipinternal.h"

namespace pelplat {
namespace clipboard {

std::unique_ptr<IClipboardBackend> MakeX11ClipboardBackend(const char*) { return nullptr; }

}  // namespace clipboard
}  // namespace pelplat
