#include "audio/AudioStreamOutput.h"

#include <new>
#include <vector>

#include "audio/PcmFormat.h"
#include "audio/WaveOut.h"
#include "sys/klog.h"

CAudioStreamOutput::CAudioStreamOutput() = default;

CAudioStreamOutput::~CAudioStreamOutput() {
  if (conversion_) acmStreamClose(conversion_, 0);
  if (waveOut_) waveOut_->Shutdown();
}

// Two bytes per sample and channel: every channel count gets whole frames.
WAVEFORMATEX CAudioStreamOutput::ConversionTarget(const WAVEFORMATEX& source) {
  return PcmWaveFormat(source.nChannels, source.nSamplesPerSec, 16);
}

int32_t CAudioStreamOutput::SetWaveFormat(const WAVEFORMATEX* format) {
  if (!format) return -1;
  if (!waveOut_) waveOut_.reset(new (std::nothrow) CWaveOut);
  if (!waveOut_) return E_OUTOFMEMORY;
  // A format the wave output refuses must not open it with the previous one.
  if (waveOut_->SetFormat(format, nullptr) && waveOut_->Open()) {
    open_ = true;
    return 0;
  }
  const WAVEFORMATEX target = ConversionTarget(*format);
  if (acmStreamOpen(&conversion_, nullptr, format, &target, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) != 0) {
    conversion_ = nullptr;
    return -1;
  }
  waveOut_->SetFormat(&target, nullptr);
  if (!waveOut_->Open()) return -1;
  open_ = true;
  return 0;
}

void CAudioStreamOutput::EndConversion() {
  acmStreamClose(conversion_, 0);
  conversion_ = nullptr;
  open_ = false;
  LogMessageA("CAudioStreamOutput::ProcessSample: the conversion failed; the stream ends");
}

void CAudioStreamOutput::ProcessSample(const uint8_t* data, uint32_t length) {
  if (!open_ || !waveOut_) return;
  if (!conversion_) {
    waveOut_->Write(data, length, 0);
    return;
  }
  DWORD outSize = 0;
  if (acmStreamSize(conversion_, length, &outSize, ACM_STREAMSIZEF_SOURCE) != 0) {
    EndConversion();
    return;
  }
  std::vector<uint8_t> source(data, data + length);
  std::vector<uint8_t> output(outSize);
  ACMSTREAMHEADER header{};
  header.cbStruct = sizeof(header);
  header.pbSrc = source.data();
  header.cbSrcLength = length;
  header.pbDst = output.data();
  header.cbDstLength = outSize;
  if (acmStreamPrepareHeader(conversion_, &header, 0) != 0) {
    EndConversion();
    return;
  }
  if (acmStreamConvert(conversion_, &header, ACM_STREAMCONVERTF_BLOCKALIGN) == 0) {
    waveOut_->Write(output.data(), header.cbDstLengthUsed, 0);
  }
  acmStreamUnprepareHeader(conversion_, &header, 0);
}

int32_t CAudioStreamOutput::SetState(uint32_t state) {
  if (waveOut_) waveOut_->SetState(state);
  return 0;
}
