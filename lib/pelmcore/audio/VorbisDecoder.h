// The Tremor state of one Ogg Vorbis stream: headers from the format
// message, then pages of the data messages decoded to interleaved 16-bit
// stereo at the stream's own rate.
#pragma once

#include <tremor/ivorbiscodec.h>

#include <cstdint>

class CVorbisDecoder {
 public:
  static constexpr int kOutputChannels = 2;

  CVorbisDecoder();
  ~CVorbisDecoder();

  // Reads the identification, comment and setup headers from n bytes of
  // pages; true once the setup header was read. Returns false, instead of
  // waiting, when the bytes end before it.
  bool ReadHeaders(const uint8_t* data, uint32_t n);
  // Adds n bytes of pages and decodes what they complete into `out`. Stops
  // when `out` is full and sets *more: the rest waits inside the decoder for
  // the next call (with no new bytes). Returns the bytes written.
  uint32_t Decode(const uint8_t* data, uint32_t n, uint8_t* out, uint32_t capacity, bool* more);

  bool Ready() const { return ready_; }
  long Rate() const { return info_.rate; }
  int Channels() const { return info_.channels; }

  CVorbisDecoder(const CVorbisDecoder&) = delete;
  CVorbisDecoder& operator=(const CVorbisDecoder&) = delete;

 private:
  // Moves decoded samples to `out`; false when `out` filled up first.
  bool TakeSamples(uint8_t* out, uint32_t capacity, uint32_t* written);

  ogg_sync_state sync_;
  ogg_page page_;
  ogg_stream_state stream_;
  ogg_packet packet_;
  vorbis_info info_;
  vorbis_comment comment_;
  vorbis_dsp_state dsp_;
  vorbis_block block_;
  bool ready_ = false;
};
