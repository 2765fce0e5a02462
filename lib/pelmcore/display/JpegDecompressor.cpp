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
  if (created_ && pictures_ >= kPicturesPerDecompressor) Destroy();
  if (created_) {
    jpeg_abort_decompress(&info_);
    // Tables persist from picture to picture by design (abbreviated
    // streams); each of ours must see only its own, as a new decompressor
    // would. The dropped tables stay in the library's pool until the
    // decompressor is made again.
    for (JQUANT_TBL*& table : info_.quant_tbl_ptrs) table = nullptr;
    for (JHUFF_TBL*& table : info_.dc_huff_tbl_ptrs) table = nullptr;
    for (JHUFF_TBL*& table : info_.ac_huff_tbl_ptrs) table = nullptr;
  } else {
    jpeg_create_decompress(&info_);
    created_ = true;
    pictures_ = 0;
  }
  ++pictures_;
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
