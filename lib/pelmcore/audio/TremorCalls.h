// The Tremor calls the Vorbis decoder was designed against, over Debian's
// libvorbisidec, which frames Ogg with libogg rather than with Tremor's own
// reference-counted buffers. Each call keeps the meaning the decoder relies
// on.
#pragma once

#include <tremor/ivorbiscodec.h>

#include <cstring>

namespace tremor {

// Copies n bytes into the sync layer's buffer; 0, or -1 when it cannot grow.
inline int ogg_sync_bufferin(ogg_sync_state* sync, const unsigned char* data, long n) {
  if (n <= 0) return 0;
  char* room = ::ogg_sync_buffer(sync, n);
  if (!room) return -1;
  memcpy(room, data, static_cast<size_t>(n));
  return 0;
}

inline int ogg_sync_wrote(ogg_sync_state* sync, long n) { return ::ogg_sync_wrote(sync, n); }

// libvorbisidec always decodes what it synthesises; the flag that asked for
// decoding (rather than tracking only) has nothing to select here.
inline int vorbis_synthesis(vorbis_block* block, ogg_packet* packet, int /*decode*/) {
  return ::vorbis_synthesis(block, packet);
}

}  // namespace tremor
