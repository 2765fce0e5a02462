#include "display/JpegMemorySource.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "sys/ByteReader.h"

namespace {

constexpr size_t kPiece = 4096;

struct MemorySource {
  jpeg_source_mgr manager;
  ByteReader reader;
  bool supplied;
  JOCTET buffer[kPiece];
};

MemorySource* SourceOf(j_decompress_ptr info) {
  return reinterpret_cast<MemorySource*>(info->src);
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr info) {
  MemorySource* source = SourceOf(info);
  const size_t n = std::min(source->reader.Remaining(), kPiece);
  if (n) {
    std::memcpy(source->buffer, source->reader.Take(n), n);
    source->manager.bytes_in_buffer = n;
    source->supplied = true;
  } else if (source->supplied) {
    source->buffer[0] = 0xFF;
    source->buffer[1] = JPEG_EOI;
    source->manager.bytes_in_buffer = 2;
  } else {
    // Nothing at all to read: report that no data is available.
    return FALSE;
  }
  source->manager.next_input_byte = source->buffer;
  return TRUE;
}

void SkipInputData(j_decompress_ptr info, long count) {
  if (count <= 0) return;
  MemorySource* source = SourceOf(info);
  size_t left = size_t(count);
  while (left > source->manager.bytes_in_buffer) {
    left -= source->manager.bytes_in_buffer;
    const bool atEnd = source->reader.Remaining() == 0;
    if (!FillInputBuffer(info)) {
      source->manager.bytes_in_buffer = 0;
      return;
    }
    // Past the end only the marker remains; skipping further finds nothing.
    if (atEnd) return;
  }
  source->manager.next_input_byte += left;
  source->manager.bytes_in_buffer -= left;
}

}  // namespace

void JpegMemorySource(j_decompress_ptr info, const BYTE* data, size_t length) {
  void* storage = (*info->mem->alloc_small)(reinterpret_cast<j_common_ptr>(info),
                                            JPOOL_PERMANENT, sizeof(MemorySource));
  MemorySource* source = new (storage) MemorySource{{}, ByteReader(data, length),
                                                    false, {}};
  source->manager.init_source = InitSource;
  source->manager.fill_input_buffer = FillInputBuffer;
  source->manager.skip_input_data = SkipInputData;
  source->manager.resync_to_restart = jpeg_resync_to_restart;
  source->manager.term_source = TermSource;
  source->manager.bytes_in_buffer = 0;
  source->manager.next_input_byte = nullptr;
  info->src = &source->manager;
}
