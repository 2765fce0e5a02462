// Compressed-audio conversion over libavcodec and libswresample. A stream
// decodes whole source blocks and writes interleaved 16-bit PCM; what does
// not fit the caller's buffer is not produced, as the caller sized it with
// acmStreamSize.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cstring>
#include <memory>

#include <mutex>
#include <set>
#include <vector>

#include "pelplat/msacm.h"

struct HACMSTREAM__ {
  AVCodecContext* codec = nullptr;
  SwrContext* swr = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  WORD channels = 0;
  DWORD sourceTag = 0;
  uint32_t blockAlign = 0;       // bytes per source block, 0 for sample codecs
  uint32_t samplesPerBlock = 0;  // per channel
  uint32_t sourceFrameBytes = 0; // sample codecs only

  ~HACMSTREAM__() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    swr_free(&swr);
    avcodec_free_context(&codec);
  }
};

namespace {

std::mutex& StreamsMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
std::set<HACMSTREAM>& Streams() {
  static std::set<HACMSTREAM>* streams = new std::set<HACMSTREAM>;
  return *streams;
}
bool Known(HACMSTREAM stream) {
  std::lock_guard<std::mutex> lock(StreamsMutex());
  return stream && Streams().count(stream) != 0;
}

AVCodecID CodecFor(const WAVEFORMATEX& f) {
  switch (f.wFormatTag) {
    case WAVE_FORMAT_PCM:
      switch (f.wBitsPerSample) {
        case 8: return AV_CODEC_ID_PCM_U8;
        case 16: return AV_CODEC_ID_PCM_S16LE;
        case 24: return AV_CODEC_ID_PCM_S24LE;
        case 32: return AV_CODEC_ID_PCM_S32LE;
        default: return AV_CODEC_ID_NONE;
      }
    case WAVE_FORMAT_IEEE_FLOAT:
      return f.wBitsPerSample == 64 ? AV_CODEC_ID_PCM_F64LE
                                    : f.wBitsPerSample == 32 ? AV_CODEC_ID_PCM_F32LE : AV_CODEC_ID_NONE;
    case WAVE_FORMAT_ALAW: return AV_CODEC_ID_PCM_ALAW;
    case WAVE_FORMAT_MULAW: return AV_CODEC_ID_PCM_MULAW;
    case WAVE_FORMAT_ADPCM: return AV_CODEC_ID_ADPCM_MS;
    case WAVE_FORMAT_IMA_ADPCM: return AV_CODEC_ID_ADPCM_IMA_WAV;
    case WAVE_FORMAT_GSM610: return AV_CODEC_ID_GSM_MS;
    default: return AV_CODEC_ID_NONE;
  }
}

bool BlockCodec(DWORD tag) {
  return tag == WAVE_FORMAT_ADPCM || tag == WAVE_FORMAT_IMA_ADPCM || tag == WAVE_FORMAT_GSM610;
}

// Samples per channel in one block: the format's own word where it has one,
// else what the block size implies.
uint32_t SamplesPerBlock(const WAVEFORMATEX& f) {
  const uint8_t* extra = reinterpret_cast<const uint8_t*>(&f) + sizeof(WAVEFORMATEX);
  if (f.cbSize >= 2) {
    const uint32_t declared = extra[0] | (extra[1] << 8);
    if (declared) return declared;
  }
  const uint32_t ch = f.nChannels;
  switch (f.wFormatTag) {
    case WAVE_FORMAT_ADPCM: return f.nBlockAlign > 7 * ch ? (f.nBlockAlign - 7 * ch) * 2 / ch + 2 : 0;
    case WAVE_FORMAT_IMA_ADPCM: return f.nBlockAlign > 4 * ch ? (f.nBlockAlign - 4 * ch) * 2 / ch + 1 : 0;
    case WAVE_FORMAT_GSM610: return 320;
    default: return 0;
  }
}

bool ValidTarget(const WAVEFORMATEX& s, const WAVEFORMATEX& d) {
  return d.wFormatTag == WAVE_FORMAT_PCM && d.wBitsPerSample == 16 && d.nChannels == s.nChannels &&
         d.nSamplesPerSec == s.nSamplesPerSec && d.nBlockAlign == 2u * d.nChannels;
}

// Hands one packet to the decoder and appends what comes out to the
// destination; returns false on a decoder failure.
bool DecodeInto(HACMSTREAM s, const uint8_t* data, uint32_t size, ACMSTREAMHEADER* header) {
  s->packet->data = const_cast<uint8_t*>(data);
  s->packet->size = static_cast<int>(size);
  if (avcodec_send_packet(s->codec, s->packet) < 0) return false;
  const uint32_t frameBytes = 2u * s->channels;
  while (avcodec_receive_frame(s->codec, s->frame) == 0) {
    const uint32_t room = (header->cbDstLength - header->cbDstLengthUsed) / frameBytes;
    uint8_t* out = header->pbDst + header->cbDstLengthUsed;
    const int n = room ? swr_convert(s->swr, &out, static_cast<int>(room),
                                     const_cast<const uint8_t**>(s->frame->extended_data), s->frame->nb_samples)
                       : 0;
    av_frame_unref(s->frame);
    if (n < 0) return false;
    header->cbDstLengthUsed += static_cast<uint32_t>(n) * frameBytes;
  }
  return true;
}

}  // namespace

MMRESULT acmStreamOpen(LPHACMSTREAM out, HACMDRIVER driver, LPCWAVEFORMATEX source, LPCWAVEFORMATEX destination,
                       LPWAVEFILTER filter, DWORD_PTR callback, DWORD_PTR, DWORD flags) {
  if (out) *out = nullptr;
  if (!source || !destination || driver || filter || callback) return MMSYSERR_INVALPARAM;
  if (source->nChannels == 0 || source->nChannels > 8 || source->nSamplesPerSec == 0) return ACMERR_NOTPOSSIBLE;
  if (!ValidTarget(*source, *destination)) return ACMERR_NOTPOSSIBLE;
  const AVCodecID id = CodecFor(*source);
  const AVCodec* decoder = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
  if (!decoder) return ACMERR_NOTPOSSIBLE;
  const bool block = BlockCodec(source->wFormatTag);
  if (block && (source->nBlockAlign == 0 || SamplesPerBlock(*source) == 0)) return ACMERR_NOTPOSSIBLE;
  if (flags & ACM_STREAMOPENF_QUERY) return MMSYSERR_NOERROR;
  if (!out) return MMSYSERR_INVALPARAM;

  auto s = std::make_unique<HACMSTREAM__>();
  s->codec = avcodec_alloc_context3(decoder);
  s->packet = av_packet_alloc();
  s->frame = av_frame_alloc();
  if (!s->codec || !s->packet || !s->frame) return MMSYSERR_NOMEM;
  s->codec->sample_rate = static_cast<int>(source->nSamplesPerSec);
  av_channel_layout_default(&s->codec->ch_layout, source->nChannels);
  s->codec->block_align = source->nBlockAlign;
  s->codec->bits_per_coded_sample = source->wBitsPerSample;
  if (source->cbSize > 0) {
    s->codec->extradata = static_cast<uint8_t*>(av_mallocz(source->cbSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!s->codec->extradata) return MMSYSERR_NOMEM;
    memcpy(s->codec->extradata, reinterpret_cast<const uint8_t*>(source) + sizeof(WAVEFORMATEX), source->cbSize);
    s->codec->extradata_size = source->cbSize;
  }
  if (avcodec_open2(s->codec, decoder, nullptr) < 0) return ACMERR_NOTPOSSIBLE;

  AVChannelLayout layout;
  av_channel_layout_default(&layout, source->nChannels);
  const int rc = swr_alloc_set_opts2(&s->swr, &layout, AV_SAMPLE_FMT_S16, s->codec->sample_rate, &layout,
                                     s->codec->sample_fmt, s->codec->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&layout);
  if (rc < 0 || swr_init(s->swr) < 0) return ACMERR_NOTPOSSIBLE;

  s->channels = source->nChannels;
  s->sourceTag = source->wFormatTag;
  if (block) {
    s->blockAlign = source->nBlockAlign;
    s->samplesPerBlock = SamplesPerBlock(*source);
  } else {
    s->sourceFrameBytes = id == AV_CODEC_ID_PCM_ALAW || id == AV_CODEC_ID_PCM_MULAW
                              ? source->nChannels
                              : static_cast<uint32_t>(source->nChannels) * source->wBitsPerSample / 8;
  }
  HACMSTREAM raw = s.release();
  {
    std::lock_guard<std::mutex> lock(StreamsMutex());
    Streams().insert(raw);
  }
  *out = raw;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM s, DWORD input, LPDWORD output, DWORD flags) {
  if (!Known(s)) return MMSYSERR_INVALHANDLE;
  if (!output || (flags & ~ACM_STREAMSIZEF_DESTINATION)) return MMSYSERR_INVALPARAM;
  if (flags & ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_NOTSUPPORTED;
  const uint64_t frameBytes = 2u * s->channels;
  const uint64_t frames = s->blockAlign ? uint64_t(input / s->blockAlign) * s->samplesPerBlock
                                        : uint64_t(input / s->sourceFrameBytes);
  const uint64_t bytes = frames * frameBytes;
  if (bytes == 0 || bytes > 0xFFFFFFFFu) return ACMERR_NOTPOSSIBLE;
  *output = static_cast<DWORD>(bytes);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM s, LPACMSTREAMHEADER header, DWORD) {
  if (!Known(s)) return MMSYSERR_INVALHANDLE;
  if (!header || header->cbStruct < sizeof(ACMSTREAMHEADER) || !header->pbSrc || !header->pbDst)
    return MMSYSERR_INVALPARAM;
  header->fdwStatus |= ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

// Always whole blocks (or whole frames): a partial block cannot be decoded
// on its own, so the caller keeps it for the next call.
MMRESULT acmStreamConvert(HACMSTREAM s, LPACMSTREAMHEADER header, DWORD) {
  if (!Known(s)) return MMSYSERR_INVALHANDLE;
  if (!header || header->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  if (!(header->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  header->cbSrcLengthUsed = 0;
  header->cbDstLengthUsed = 0;
  const uint32_t unit = s->blockAlign ? s->blockAlign : s->sourceFrameBytes;
  const uint32_t usable = header->cbSrcLength - header->cbSrcLength % unit;
  bool ok = true;
  if (s->blockAlign) {
    for (uint32_t at = 0; ok && at < usable; at += unit) ok = DecodeInto(s, header->pbSrc + at, unit, header);
  } else if (usable) {
    ok = DecodeInto(s, header->pbSrc, usable, header);
  }
  header->cbSrcLengthUsed = usable;
  header->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return ok ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM s, LPACMSTREAMHEADER header, DWORD) {
  if (!Known(s)) return MMSYSERR_INVALHANDLE;
  if (!header || header->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  if (!(header->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM s, DWORD) {
  {
    std::lock_guard<std::mutex> lock(StreamsMutex());
    if (!s || !Streams().erase(s)) return MMSYSERR_INVALHANDLE;
  }
  delete s;
  return MMSYSERR_NOERROR;
}
