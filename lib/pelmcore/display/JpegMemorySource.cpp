#include "display/JpegMemorySource.h"

#include <new>

namespace {

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

struct MemorySource {
  jpeg_source_mgr manager;
  const BYTE* data;
  size_t length;
  bool handedOut;  // the whole range went to the library
};

MemorySource* SourceOf(j_decompress_ptr info) {
  return reinterpret_cast<MemorySource*>(info->src);
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr info) {
  MemorySource* source = SourceOf(info);
  if (!source->handedOut && source->length) {
    // The library reads the caller's bytes where they lie.
    source->manager.next_input_byte = source->data;
    source->manager.bytes_in_buffer = source->length;
    source->handedOut = true;
    return TRUE;
  }
  // Nothing at all to read: report that no data is available.
  if (!source->handedOut) return FALSE;
  source->manager.next_input_byte = kEndOfImage;
  source->manager.bytes_in_buffer = sizeof kEndOfImage;
  return TRUE;
}

void SkipInputData(j_decompress_ptr info, long count) {
  if (count <= 0) return;
  MemorySource* source = SourceOf(info);
  size_t left = size_t(count);
  while (left > source->manager.bytes_in_buffer) {
    left -= source->manager.bytes_in_buffer;
    const bool atEnd = source->handedOut;
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
  // A decompressor that is used again keeps its source: only the range
  // changes.
  MemorySource* source = info->src && info->src->fill_input_buffer == FillInputBuffer
                             ? SourceOf(info)
                             : nullptr;
  if (!source) {
    void* storage = (*info->mem->alloc_small)(reinterpret_cast<j_common_ptr>(info),
                                              JPOOL_PERMANENT, sizeof(MemorySource));
    source = new (storage) MemorySource{};
    source->manager.init_source = InitSource;
    source->manager.fill_input_buffer = FillInputBuffer;
    source->manager.skip_input_data = SkipInputData;
    source->manager.resync_to_restart = jpeg_resync_to_restart;
    source->manager.term_source = TermSource;
    info->src = &source->manager;
  }
  source->data = data;
  source->length = data ? length : 0;
  source->handedOut = false;
  source->manager.bytes_in_buffer = 0;
  source->manager.next_input_byte = nullptr;
}
