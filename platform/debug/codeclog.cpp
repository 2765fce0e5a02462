// The codec library's own lines join ours on the debugger output, so that
// tests capture them and fuzz runs silence them like every other line; it
// would otherwise write to stderr past the sink. Only warnings and worse,
// each as one whole line.
extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>

#include "pelplat/debugout.h"

namespace {

void ForwardCodecLine(void* context, int level, const char* format, va_list args) {
  if (level > AV_LOG_WARNING) return;
  char line[1024];
  int printPrefix = 1;
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(context, level, format, copy, line, sizeof line, &printPrefix);
  va_end(copy);
  OutputDebugStringA(line);
}

const bool forwarded = (av_log_set_callback(ForwardCodecLine), true);

}  // namespace
