#include "testhost/TsmfClip.h"

#include <algorithm>
#include <limits>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

namespace testhost {
namespace tsmf {

namespace {

constexpr AVRational kHundredNs = {1, 10000000};
const uint8_t kStartCode[4] = {0, 0, 0, 1};

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

Bytes ExtradataOf(const AVCodecParameters* par) {
  if (!par->extradata || par->extradata_size <= 0) return {};
  return Bytes(par->extradata, par->extradata + par->extradata_size);
}

struct Demuxed {
  ClipStream stream;
  int index = -1;
  AVRational timeBase{1, 1};
  int lengthSize = 0;
};

bool SetUpVideo(const AVStream* s, Demuxed* d, std::string* error) {
  const AVCodecParameters* par = s->codecpar;
  Bytes header;
  if (!AvcConfigToAnnexB(ExtradataOf(par), &header, &d->lengthSize) || header.empty()) {
    *error = "the H.264 stream has no usable SPS and PPS";
    return false;
  }
  int64_t frame = 400000;
  if (s->avg_frame_rate.num > 0 && s->avg_frame_rate.den > 0)
    frame = av_rescale_q(1, av_inv_q(s->avg_frame_rate), kHundredNs);
  d->stream.video = true;
  d->stream.width = par->width;
  d->stream.height = par->height;
  d->stream.type = H264MediaType(par->width, par->height, frame, header);
  return true;
}

bool SetUpAudio(const AVStream* s, Demuxed* d, std::string* error) {
  const AVCodecParameters* par = s->codecpar;
  const Bytes config = ExtradataOf(par);
  if (config.empty()) {
    *error = "the AAC stream has no AudioSpecificConfig";
    return false;
  }
  d->stream.channels = par->ch_layout.nb_channels;
  d->stream.sampleRate = par->sample_rate;
  d->stream.type = AacMediaType(d->stream.channels, par->sample_rate, int(par->bit_rate), config);
  return true;
}

// The packet as a sample of the stream; false for a malformed unit.
bool AddSample(const AVPacket* p, Demuxed* d) {
  DataSample s;
  const int64_t pts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
  s.start = pts == AV_NOPTS_VALUE ? 0 : av_rescale_q(pts, d->timeBase, kHundredNs);
  s.throttle = p->duration > 0 ? uint64_t(av_rescale_q(p->duration, d->timeBase, kHundredNs)) : 0;
  s.extensions = (p->flags & AV_PKT_FLAG_KEY) ? kSampleCleanPoint : 0;
  const Bytes unit(p->data, p->data + p->size);
  if (d->stream.video && d->lengthSize > 0) {
    if (!LengthPrefixedToAnnexB(unit, d->lengthSize, &s.data)) return false;
  } else {
    s.data = unit;
  }
  d->stream.decodeTimes.push_back(p->dts != AV_NOPTS_VALUE ? av_rescale_q(p->dts, d->timeBase, kHundredNs) : s.start);
  d->stream.samples.push_back(std::move(s));
  return true;
}

// Samples without a duration get the gap to the next one's time (or the
// one before's duration); every time moves so that the clip starts at 0.
void FinishTimes(std::vector<Demuxed*>& all) {
  int64_t first = std::numeric_limits<int64_t>::max();
  for (Demuxed* d : all)
    for (const DataSample& s : d->stream.samples) first = std::min(first, s.start);
  for (Demuxed* d : all) {
    std::vector<DataSample>& samples = d->stream.samples;
    for (size_t i = 0; i < samples.size(); ++i) {
      if (samples[i].throttle == 0) {
        const int64_t gap = i + 1 < samples.size() ? samples[i + 1].start - samples[i].start : 0;
        samples[i].throttle = gap > 0 ? uint64_t(gap) : (i > 0 ? samples[i - 1].throttle : 0);
      }
      samples[i].start -= first;
      samples[i].end = samples[i].start + int64_t(samples[i].throttle);
      d->stream.decodeTimes[i] -= first;
    }
  }
}

}  // namespace

bool AvcConfigToAnnexB(const Bytes& extradata, Bytes* header, int* lengthSize) {
  header->clear();
  *lengthSize = 0;
  if (extradata.empty()) return true;
  if (extradata[0] != 1) {
    *header = extradata;  // Annex B already
    return true;
  }
  if (extradata.size() < 6) return false;
  *lengthSize = (extradata[4] & 3) + 1;
  size_t at = 5;
  for (int set = 0; set < 2; ++set) {
    if (at >= extradata.size()) return false;
    // SPS count in the low five bits; the PPS count is a whole byte.
    const size_t count = set == 0 ? (extradata[at] & 0x1F) : extradata[at];
    ++at;
    for (size_t i = 0; i < count; ++i) {
      if (extradata.size() - at < 2) return false;
      const size_t length = size_t(extradata[at]) << 8 | extradata[at + 1];
      at += 2;
      if (extradata.size() - at < length) return false;
      header->insert(header->end(), kStartCode, kStartCode + 4);
      header->insert(header->end(), extradata.begin() + long(at), extradata.begin() + long(at + length));
      at += length;
    }
  }
  return true;
}

bool LengthPrefixedToAnnexB(const Bytes& unit, int lengthSize, Bytes* out) {
  out->clear();
  size_t at = 0;
  while (at < unit.size()) {
    if (unit.size() - at < size_t(lengthSize)) return false;
    uint64_t length = 0;
    for (int i = 0; i < lengthSize; ++i) length = length << 8 | unit[at + size_t(i)];
    at += size_t(lengthSize);
    if (unit.size() - at < length) return false;
    out->insert(out->end(), kStartCode, kStartCode + 4);
    out->insert(out->end(), unit.begin() + long(at), unit.begin() + long(at + length));
    at += size_t(length);
  }
  return true;
}

bool ReadClip(const std::string& path, Clip* clip, std::string* error) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    *error = "cannot open " + path;
    return false;
  }
  std::unique_ptr<AVFormatContext, InputCloser> input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) {
    *error = "cannot read the streams of " + path;
    return false;
  }
  Demuxed video, audio;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* s = input->streams[i];
    const AVCodecID codec = s->codecpar->codec_id;
    Demuxed* d = codec == AV_CODEC_ID_H264 ? &video : codec == AV_CODEC_ID_AAC ? &audio : nullptr;
    if (!d || d->index >= 0) continue;
    if (!(d == &video ? SetUpVideo(s, d, error) : SetUpAudio(s, d, error))) return false;
    d->index = int(i);
    d->timeBase = s->time_base;
  }
  if (video.index < 0 && audio.index < 0) {
    *error = path + " holds neither H.264 nor AAC";
    return false;
  }
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    Demuxed* d = packet->stream_index == video.index ? &video : packet->stream_index == audio.index ? &audio : nullptr;
    const bool ok = !d || AddSample(packet.get(), d);
    av_packet_unref(packet.get());
    if (!ok) {
      *error = "a malformed H.264 access unit in " + path;
      return false;
    }
  }
  std::vector<Demuxed*> all;
  for (Demuxed* d : {&video, &audio})
    if (d->index >= 0) all.push_back(d);
  FinishTimes(all);
  clip->streams.clear();
  for (Demuxed* d : all) clip->streams.push_back(std::move(d->stream));
  return true;
}

}  // namespace tsmf
}  // namespace testhost
