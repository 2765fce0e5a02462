#include "display/JpegDecompressor.h"

#include "display/JpegMemorySource.h"

JpegDecompressor::JpegDecompressor() {
  info_.err = jpeg_std_error(&errors_.manager);
  errors_.manager.error_exit = ExitByJump;
  // Warnings about damaged data are not worth a line each: the result code
  // tells the caller what came of the picture.
  errors_.manager.output_message = Silent;
}

void JpegDecompressor::ExitByJump(j_common_ptr info) {
  longjmp(reinterpret_cast<JumpingErrors*>(info->err)->jump, 1);
}

JpegDecompressor& JpegDecompressor::ForThisThread() {
  thread_local JpegDecompressor decompressor;
  return decompressor;
}

void JpegDecompressor::Open(const BYTE* data, size_t length) {
  if (created_) {
    jpeg_abort_decompress(&info_);
  } else {
    jpeg_create_decompress(&info_);
    created_ = true;
  }
  JpegMemorySource(&info_, data, length);
}

void JpegDecompressor::Abort() {
  if (created_) jpeg_abort_decompress(&info_);
}

void JpegDecompressor::Destroy() {
  // Safe on a decompressor that was never created: the pool pointer is
  // still null then.
  jpeg_destroy_decompress(&info_);
  created_ = false;
}
