#include "streams/Stream.h"

CStream::~CStream() = default;

int CStream::SetWaveFormat(const WaveFormatRecord&) { return -1; }

int CStream::SetAllocator(const AllocatorPropertiesRecord&) { return -1; }

int CStream::Close() { return -1; }

int CStream::FilterEvent(int) { return -1; }

int CStream::DSSetWindowRect(const RECT*, UINT_PTR, int, int, uint32_t) { return -1; }

int CStream::ShowWindow() { return -1; }

int CStream::OnParentPaint(UINT_PTR, UINT_PTR) { return 0; }

int CStream::UpdateWindowRectToScroll(int, int) { return 0; }

int CStream::OnUpdateView(const uint8_t*, uint32_t) { return E_NOTIMPL; }

int CStream::SetFormatRecord(const StreamFormatRecord& record) {
  if (record.size == 0 || record.size >= StreamFormatRecord::kSizeLimit) return -1;
  std::vector<uint8_t> bytes = record.ToBytes();
  if (record.size > bytes.size()) return -1;
  bytes.resize(record.size);
  formatRecord_ = std::move(bytes);
  return 0;
}
