#include "audio/VorbisDecoder.h"

#include <algorithm>
#include <cstring>

#include "audio/TremorCalls.h"

namespace {

int16_t ToSample(ogg_int32_t fixed) {
  const ogg_int32_t v = fixed >> 9;
  return static_cast<int16_t>(std::clamp<ogg_int32_t>(v, -32768, 32767));
}

void PutSample(uint8_t* at, int16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
}

}  // namespace

CVorbisDecoder::CVorbisDecoder() {
  ogg_sync_init(&sync_);
  ogg_stream_init(&stream_, -1);
  memset(&page_, 0, sizeof(page_));
  memset(&packet_, 0, sizeof(packet_));
  memset(&dsp_, 0, sizeof(dsp_));
  memset(&block_, 0, sizeof(block_));
  vorbis_info_init(&info_);
  vorbis_comment_init(&comment_);
}

CVorbisDecoder::~CVorbisDecoder() {
  if (ready_) {
    vorbis_block_clear(&block_);
    vorbis_dsp_clear(&dsp_);
  }
  vorbis_comment_clear(&comment_);
  vorbis_info_clear(&info_);
  ogg_stream_clear(&stream_);
  ogg_sync_clear(&sync_);
}

bool CVorbisDecoder::ReadHeaders(const uint8_t* data, uint32_t n) {
  if (ready_) return true;
  if (tremor::ogg_sync_bufferin(&sync_, data, n) != 0) return false;
  tremor::ogg_sync_wrote(&sync_, n);
  for (;;) {
    const int got = ogg_sync_pageout(&sync_, &page_);
    if (got == 0) return false;  // the bytes ended before the setup header
    if (got < 0) continue;
    if (ogg_page_bos(&page_)) ogg_stream_reset_serialno(&stream_, ogg_page_serialno(&page_));
    if (ogg_stream_pagein(&stream_, &page_) != 0) continue;
    int r;
    while ((r = ogg_stream_packetout(&stream_, &packet_)) != 0) {
      if (r < 0 || packet_.packetno > 2) continue;
      if (vorbis_synthesis_headerin(&info_, &comment_, &packet_) != 0) return false;
      if (packet_.packetno == 2) {
        if (vorbis_synthesis_init(&dsp_, &info_) != 0) return false;
        vorbis_block_init(&dsp_, &block_);
        ready_ = info_.channels > 0 && info_.rate > 0;
        return ready_;
      }
    }
  }
}

// One or two channels in, always two out: mono is doubled, channels past
// the second are left out.
bool CVorbisDecoder::TakeSamples(uint8_t* out, uint32_t capacity, uint32_t* written) {
  ogg_int32_t** pcm = nullptr;
  int samples;
  while ((samples = vorbis_synthesis_pcmout(&dsp_, &pcm)) > 0) {
    const uint32_t frameBytes = 2 * kOutputChannels;
    const uint32_t room = (capacity - *written) / frameBytes;
    const int n = std::min<int>(samples, static_cast<int>(std::min<uint32_t>(room, 0x7FFFFFFF)));
    const ogg_int32_t* left = pcm[0];
    const ogg_int32_t* right = info_.channels > 1 ? pcm[1] : pcm[0];
    uint8_t* at = out + *written;
    for (int i = 0; i < n; ++i) {
      PutSample(at, ToSample(left[i]));
      PutSample(at + 2, ToSample(right[i]));
      at += frameBytes;
    }
    *written += static_cast<uint32_t>(n) * frameBytes;
    vorbis_synthesis_read(&dsp_, n);
    if (n < samples) return false;
  }
  return true;
}

uint32_t CVorbisDecoder::Decode(const uint8_t* data, uint32_t n, uint8_t* out, uint32_t capacity, bool* more) {
  *more = false;
  if (n > 0 && tremor::ogg_sync_bufferin(&sync_, data, n) == 0) tremor::ogg_sync_wrote(&sync_, n);
  if (!ready_) return 0;
  uint32_t written = 0;
  for (;;) {
    if (!TakeSamples(out, capacity, &written)) {
      *more = true;
      return written;
    }
    const int r = ogg_stream_packetout(&stream_, &packet_);
    if (r < 0) continue;  // a gap: take the next packet
    if (r > 0) {
      if (tremor::vorbis_synthesis(&block_, &packet_, 1) == 0) vorbis_synthesis_blockin(&dsp_, &block_);
      continue;
    }
    const int got = ogg_sync_pageout(&sync_, &page_);
    if (got < 0) continue;  // skipped bytes to find the next page
    if (got == 0) return written;
    ogg_stream_pagein(&stream_, &page_);
  }
}
