// What the libavcodec decoder transforms share: the subtypes they take, the
// frame and packet they decode with, and the packet built from an input
// sample's bytes.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "MFTransformBase.h"

namespace pelplat_mf {

class AvDecoderBase : public TransformBase {
 public:
  HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) final {
    std::lock_guard<std::mutex> hold(lock_);
    if (context_) OnMessage(message);
    return S_OK;
  }

 protected:
  explicit AvDecoderBase(const std::vector<GUID>& subtypes)
      : subtypes_(subtypes), frame_(av_frame_alloc()), packet_(av_packet_alloc()) {}
  ~AvDecoderBase() override {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
  }

  // Ready once the codec is open and the output type is set.
  bool Configured() const override { return context_ && outputType_; }
  // Flush and drain, under lock_ with the codec open.
  virtual void OnMessage(MFT_MESSAGE_TYPE message) = 0;

  bool Offered(REFGUID subtype) const {
    return std::find(subtypes_.begin(), subtypes_.end(), subtype) != subtypes_.end();
  }

  // The packet now holds a copy of the bytes; false when it cannot.
  bool FillPacket(const std::vector<BYTE>& bytes) {
    av_packet_unref(packet_);
    if (bytes.size() > static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return false;
    if (av_new_packet(packet_, static_cast<int>(bytes.size())) < 0) return false;
    std::memcpy(packet_->data, bytes.data(), bytes.size());
    return true;
  }

  const std::vector<GUID> subtypes_;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_;
  AVPacket* packet_;
};

}  // namespace pelplat_mf
